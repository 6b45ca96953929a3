#include "core/tokenizer.h"

#include <libstemmer.h>
#include <utf8proc.h>

#include <cstdlib>

namespace ormel {
namespace {

enum class CharClass { Word, Joiner, Separator };

// Offsets of stemmed terms carry this bit (they index stems_, not folded_).
constexpr size_t kStemBase = size_t{1} << 63;

constexpr utf8proc_option_t kFoldOptions =
    static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_COMPAT | UTF8PROC_CASEFOLD |
                                   UTF8PROC_IGNORE);

bool ascii_joiner(char c) {
  switch (c) {
    case '-': case '.': case '/': case '\\': case ':': case '_': case '@': case '+': case '#': case '\'':
      return true;
    default:
      return false;
  }
}

CharClass classify(int32_t cp) {
  if (cp < 0x80) {
    const char c = static_cast<char>(cp);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return CharClass::Word;
    return ascii_joiner(c) ? CharClass::Joiner : CharClass::Separator;
  }
  if (cp == 0x2019) return CharClass::Joiner;  // the typographic apostrophe
  switch (utf8proc_category(cp)) {
    case UTF8PROC_CATEGORY_LU: case UTF8PROC_CATEGORY_LL: case UTF8PROC_CATEGORY_LT: case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO: case UTF8PROC_CATEGORY_MN: case UTF8PROC_CATEGORY_MC: case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_ND: case UTF8PROC_CATEGORY_NL: case UTF8PROC_CATEGORY_NO:
      return CharClass::Word;
    case UTF8PROC_CATEGORY_PC: case UTF8PROC_CATEGORY_PD:
      return CharClass::Joiner;
    default:
      return CharClass::Separator;
  }
}

bool is_letter(int32_t cp) {
  if (cp < 0x80) return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
  const auto category = utf8proc_category(cp);
  return category >= UTF8PROC_CATEGORY_LU && category <= UTF8PROC_CATEGORY_ME;
}

// The code point at text[i] and its length in bytes; the text is valid UTF-8.
std::pair<int32_t, size_t> code_point_at(std::string_view text, size_t i) {
  const auto byte = static_cast<unsigned char>(text[i]);
  if (byte < 0x80) return {byte, 1};
  utf8proc_int32_t cp = 0;
  const auto len = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                    static_cast<utf8proc_ssize_t>(text.size() - i), &cp);
  return {cp, static_cast<size_t>(len)};
}

bool all_letters(std::string_view word) {
  for (size_t i = 0; i < word.size();) {
    const auto [cp, len] = code_point_at(word, i);
    if (!is_letter(cp)) return false;
    i += len;
  }
  return true;
}

}  // namespace

struct Tokenizer::Stemmer {
  sb_stemmer* english = sb_stemmer_new("english", "UTF_8");
  ~Stemmer() { sb_stemmer_delete(english); }
  // The stem of a lower-case word; the word itself when the stemmer is unavailable.
  std::string_view stem(std::string_view word) {
    if (english == nullptr) return word;
    const sb_symbol* out = sb_stemmer_stem(english, reinterpret_cast<const sb_symbol*>(word.data()),
                                           static_cast<int>(word.size()));
    if (out == nullptr) return word;
    return {reinterpret_cast<const char*>(out), static_cast<size_t>(sb_stemmer_length(english))};
  }
};

Tokenizer::Tokenizer(bool stemming) : stemmer_(stemming ? std::make_unique<Stemmer>() : nullptr) {}
Tokenizer::~Tokenizer() = default;

void Tokenizer::fold(std::string_view text) {
  folded_.assign(text);
  bool ascii = true;
  for (char& c : folded_) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  if (ascii) return;
  // Invalid sequences become spaces, so the folding below sees valid UTF-8 only.
  std::string clean;
  clean.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    utf8proc_int32_t cp = 0;
    const auto len = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                      static_cast<utf8proc_ssize_t>(text.size() - i), &cp);
    if (len <= 0) {
      clean.push_back(' ');
      ++i;
      continue;
    }
    clean.append(text.substr(i, static_cast<size_t>(len)));
    i += static_cast<size_t>(len);
  }
  utf8proc_uint8_t* mapped = nullptr;
  const auto len = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(clean.data()),
                                static_cast<utf8proc_ssize_t>(clean.size()), &mapped, kFoldOptions);
  if (len >= 0 && mapped != nullptr) {
    folded_.assign(reinterpret_cast<const char*>(mapped), static_cast<size_t>(len));
  } else {
    folded_ = std::move(clean);  // out of memory: unfolded, still valid
  }
  std::free(mapped);
}

void Tokenizer::emit_word(size_t begin, size_t end) {
  const size_t len = end - begin;
  if (len > kMaxTermBytes) return;
  const std::string_view word(folded_.data() + begin, len);
  if (stemmer_ && all_letters(word)) {
    const std::string_view stem = stemmer_->stem(word);
    if (stem.size() <= kMaxTermBytes && !stem.empty()) {
      spans_.emplace_back(kStemBase | stems_.size(), stem.size());
      stems_.append(stem);
      return;
    }
  }
  spans_.emplace_back(begin, len);
}

void Tokenizer::emit_compound(size_t begin, size_t end) {
  if (words_.size() > 1 && end - begin <= kMaxTermBytes) spans_.emplace_back(begin, end - begin);
  for (const auto& [word_begin, word_end] : words_) emit_word(word_begin, word_end);
}

const std::vector<std::string_view>& Tokenizer::tokens(std::string_view text) {
  fold(text);
  spans_.clear();
  stems_.clear();
  const std::string_view t = folded_;
  const auto class_at = [&](size_t i) {
    const auto [cp, len] = code_point_at(t, i);
    return std::pair(classify(cp), len);
  };
  for (size_t i = 0; i < t.size();) {
    const auto [cls, len] = class_at(i);
    if (cls != CharClass::Word) {
      i += len;
      continue;
    }
    // A compound: words, each joined to the next by exactly one joiner.
    const size_t begin = i;
    words_.clear();
    while (true) {
      const size_t word_begin = i;
      while (i < t.size()) {
        const auto [c, l] = class_at(i);
        if (c != CharClass::Word) break;
        i += l;
      }
      words_.emplace_back(word_begin, i);
      if (i >= t.size()) break;
      const auto [joiner, joiner_len] = class_at(i);
      if (joiner != CharClass::Joiner || i + joiner_len >= t.size() || class_at(i + joiner_len).first != CharClass::Word)
        break;
      i += joiner_len;
    }
    emit_compound(begin, words_.back().second);
  }
  views_.clear();
  views_.reserve(spans_.size());
  for (const auto& [offset, len] : spans_) {
    const bool stemmed = (offset & kStemBase) != 0;
    const char* base = stemmed ? stems_.data() + (offset & ~kStemBase) : folded_.data() + offset;
    views_.emplace_back(base, len);
  }
  return views_;
}

}  // namespace ormel
