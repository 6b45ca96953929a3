#include "core/error.h"

#include <cstring>

namespace ormel {

OrmelError OrmelError::io(std::string description) { return {ErrorKind::Io, std::move(description)}; }
OrmelError OrmelError::io_errno(int err) { return io(std::strerror(err)); }
OrmelError OrmelError::bad_magic() { return {ErrorKind::BadMagic}; }
OrmelError OrmelError::unsupported_version(uint16_t v) { return {ErrorKind::UnsupportedVersion, {}, v}; }
OrmelError OrmelError::header_checksum() { return {ErrorKind::HeaderChecksum}; }
OrmelError OrmelError::wrong_passphrase() { return {ErrorKind::WrongPassphrase}; }
OrmelError OrmelError::page_auth_failed(uint64_t page) { return {ErrorKind::PageAuthFailed, {}, page}; }
OrmelError OrmelError::header_seal_invalid() { return {ErrorKind::HeaderSealInvalid}; }
OrmelError OrmelError::crypto(std::string t) { return {ErrorKind::Crypto, std::move(t)}; }
OrmelError OrmelError::key_derivation(std::string t) { return {ErrorKind::KeyDerivation, std::move(t)}; }
OrmelError OrmelError::serialization(std::string t) { return {ErrorKind::Serialization, std::move(t)}; }
OrmelError OrmelError::not_found(std::string t) { return {ErrorKind::NotFound, std::move(t)}; }
OrmelError OrmelError::dimension_mismatch(uint64_t expected, uint64_t got) {
  return {ErrorKind::DimensionMismatch, {}, expected, got};
}
OrmelError OrmelError::invalid_argument(std::string t) { return {ErrorKind::InvalidArgument, std::move(t)}; }
OrmelError OrmelError::locked(std::string path) { return {ErrorKind::Locked, std::move(path)}; }
OrmelError OrmelError::read_only() { return {ErrorKind::ReadOnly}; }
OrmelError OrmelError::read_only_blocked(std::string_view reason) {
  return {ErrorKind::ReadOnlyBlocked, std::string(reason)};
}

std::string OrmelError::message() const {
  switch (kind_) {
    case ErrorKind::Io: return "io error: " + text_;
    case ErrorKind::BadMagic: return "bad magic bytes — file is not a .ormel database";
    case ErrorKind::UnsupportedVersion:
      return "unsupported .ormel format version " + std::to_string(a_) + " (this build reads versions 4 to 8)";
    case ErrorKind::HeaderChecksum: return "header checksum mismatch — page 0 is torn or corrupt";
    case ErrorKind::WrongPassphrase: return "wrong passphrase, or the key material has been tampered with";
    case ErrorKind::PageAuthFailed:
      return "page " + std::to_string(a_) + ": failed authentication — the file is corrupt or tampered";
    case ErrorKind::HeaderSealInvalid: return "header seal authentication failed — mutable fields tampered with";
    case ErrorKind::Crypto: return "cryptographic operation failed: " + text_;
    case ErrorKind::KeyDerivation: return "key derivation failed: " + text_;
    case ErrorKind::Serialization: return "serialization error: " + text_;
    case ErrorKind::NotFound: return "memory '" + text_ + "' not found";
    case ErrorKind::DimensionMismatch:
      return "vector dimension mismatch: database expects " + std::to_string(a_) + ", got " + std::to_string(b_);
    case ErrorKind::InvalidArgument: return "invalid argument: " + text_;
    case ErrorKind::Locked: return "file already locked by another handle: " + text_;
    case ErrorKind::ReadOnly: return "operation requires a read-write handle (this one is read-only)";
    case ErrorKind::ReadOnlyBlocked: return "read-only open blocked: " + text_ + " — open read-write once to fix";
  }
  return {};
}

}  // namespace ormel
