// OrmelError: the one error value of the engine.
//
// Contract: every fallible operation of the core returns std::expected<T, OrmelError>
// (alias Result<T>). Nothing throws across the core's API and nothing is logged. The
// display text (message()) is what a user finally sees; the Python layer raises it
// unchanged as RuntimeError. Variant order is the enumeration index and has no meaning
// outside the process.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace ormel {

enum class ErrorKind : uint8_t {
  Io = 0,
  BadMagic,
  UnsupportedVersion,
  HeaderChecksum,
  WrongPassphrase,
  PageAuthFailed,
  HeaderSealInvalid,
  Crypto,
  KeyDerivation,
  Serialization,
  NotFound,
  DimensionMismatch,
  InvalidArgument,
  Locked,
  ReadOnly,
  ReadOnlyBlocked,
};

class OrmelError {
 public:
  static OrmelError io(std::string description);
  static OrmelError io_errno(int err);  // description from strerror(err)
  static OrmelError bad_magic();
  static OrmelError unsupported_version(uint16_t version);
  static OrmelError header_checksum();
  static OrmelError wrong_passphrase();
  static OrmelError page_auth_failed(uint64_t page);
  static OrmelError header_seal_invalid();
  static OrmelError crypto(std::string text);
  static OrmelError key_derivation(std::string text);
  static OrmelError serialization(std::string text);
  static OrmelError not_found(std::string text);
  static OrmelError dimension_mismatch(uint64_t expected, uint64_t got);
  static OrmelError invalid_argument(std::string text);
  static OrmelError locked(std::string path);
  static OrmelError read_only();
  static OrmelError read_only_blocked(std::string_view reason);

  ErrorKind kind() const { return kind_; }
  // The payload: the text of text-carrying variants, the path of Locked.
  const std::string& text() const { return text_; }
  // Numeric payload: the page of PageAuthFailed, the version of UnsupportedVersion,
  // the expected dimensionality of DimensionMismatch.
  uint64_t number() const { return a_; }
  uint64_t got() const { return b_; }

  // The display text, exactly as documented for each variant.
  std::string message() const;

  bool operator==(const OrmelError&) const = default;

 private:
  OrmelError(ErrorKind kind, std::string text = {}, uint64_t a = 0, uint64_t b = 0)
      : kind_(kind), text_(std::move(text)), a_(a), b_(b) {}
  ErrorKind kind_;
  std::string text_;
  uint64_t a_;
  uint64_t b_;
};

template <class T>
using Result = std::expected<T, OrmelError>;
using Status = std::expected<void, OrmelError>;

inline std::unexpected<OrmelError> fail(OrmelError e) { return std::unexpected(std::move(e)); }

// Reasons of ReadOnlyBlocked.
inline constexpr std::string_view kBlockedTornHeader = "torn header page needs recovery from WAL";
inline constexpr std::string_view kBlockedMigration = "pending format-version migration";
inline constexpr std::string_view kBlockedRecovery = "pending WAL recovery";

}  // namespace ormel

// Propagate an error: evaluates `expr` (a Result<T> or Status) and returns its error
// from the enclosing function when it holds one.
#define ORMEL_TRY(expr)                                         \
  do {                                                          \
    auto&& ormel_try_result_ = (expr);                          \
    if (!ormel_try_result_) return ::ormel::fail(std::move(ormel_try_result_).error()); \
  } while (0)

#define ORMEL_CONCAT_INNER_(a, b) a##b
#define ORMEL_CONCAT_(a, b) ORMEL_CONCAT_INNER_(a, b)
// Declare `lhs` from the value of a Result<T>, or return its error.
#define ORMEL_ASSIGN(lhs, expr) ORMEL_ASSIGN_IMPL_(ORMEL_CONCAT_(ormel_assign_, __LINE__), lhs, expr)
#define ORMEL_ASSIGN_IMPL_(tmp, lhs, expr)                      \
  auto tmp = (expr);                                            \
  if (!tmp) return ::ormel::fail(std::move(tmp).error());       \
  lhs = std::move(*tmp)
