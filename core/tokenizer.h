// Splitting memory content and keyword queries into index terms.
//
// Contract:
// - tokens(text) returns the terms of a UTF-8 text, in text order; content and queries go
//   through the same tokeniser, so they meet on the same terms. Bytes that are not valid
//   UTF-8 separate words, like spaces.
// - Text is folded first: compatibility forms composed (NFKC: full-width digits and
//   ligatures become plain ones), case folded (Unicode full folding: "Straße" and
//   "STRASSE" give the same term), default-ignorable code points removed.
// - A word is a run of letters, marks and digits. Words joined by one joiner character
//   (- . / \ : _ @ + # ' and the Unicode dashes, connectors and the right single quote)
//   form a compound, which gives the whole compound as one term and then each word as its
//   own: "INC-4471" -> inc-4471, inc, 4471; "v2.3" -> v2.3, v2, 3; "/etc/ssl/certs" ->
//   etc/ssl/certs, etc, ssl, certs. A joiner not between two words (a full stop ending a
//   sentence, "C++") separates.
// - With stemming on, each word made of letters only is replaced by its English Snowball
//   stem ("running" -> run); compounds and words with digits stay as they are.
// - Terms longer than kMaxTermBytes are dropped: no term of a query can be that long either.
// - Scripts written without spaces (Chinese, Japanese, Thai) are not segmented: a run of
//   their letters is one word.
// - A Tokenizer holds a stemmer and buffers; it is used by one thread at a time. The views
//   it returns stay valid until its next call.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ormel {

inline constexpr size_t kMaxTermBytes = 128;

class Tokenizer {
 public:
  explicit Tokenizer(bool stemming = false);
  ~Tokenizer();
  Tokenizer(const Tokenizer&) = delete;
  Tokenizer& operator=(const Tokenizer&) = delete;

  bool stemming() const { return stemmer_ != nullptr; }
  const std::vector<std::string_view>& tokens(std::string_view text);

 private:
  // The folded text in folded_, every invalid byte a space.
  void fold(std::string_view text);
  // Appends the terms of the compound folded_[begin, end), whose words are words_.
  void emit_compound(size_t begin, size_t end);
  void emit_word(size_t begin, size_t end);
  struct Stemmer;
  std::unique_ptr<Stemmer> stemmer_;
  std::string folded_;
  std::string stems_;  // stemmed words, back to back
  // Terms as (offset, length); an offset with its top bit set is in stems_.
  std::vector<std::pair<size_t, size_t>> spans_;
  std::vector<std::pair<size_t, size_t>> words_;  // words of the compound at hand
  std::vector<std::string_view> views_;
};

}  // namespace ormel
