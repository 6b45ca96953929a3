#include "core/error.h"

#include <gtest/gtest.h>

namespace ormel {
namespace {

TEST(ErrorTest, DisplayTexts) {
  struct Case {
    OrmelError error;
    std::string text;
  } cases[] = {
      {OrmelError::io("boom"), "io error: boom"},
      {OrmelError::bad_magic(), "bad magic bytes — file is not a .ormel database"},
      {OrmelError::header_checksum(), "header checksum mismatch — page 0 is torn or corrupt"},
      {OrmelError::wrong_passphrase(), "wrong passphrase, or the key material has been tampered with"},
      {OrmelError::page_auth_failed(12), "page 12: failed authentication — the file is corrupt or tampered"},
      {OrmelError::header_seal_invalid(), "header seal authentication failed — mutable fields tampered with"},
      {OrmelError::crypto("aead::Error"), "cryptographic operation failed: aead::Error"},
      {OrmelError::key_derivation("x"), "key derivation failed: x"},
      {OrmelError::serialization("y"), "serialization error: y"},
      {OrmelError::not_found("01ARZ3NDEKTSV4RRFFQ69G5FAV"), "memory '01ARZ3NDEKTSV4RRFFQ69G5FAV' not found"},
      {OrmelError::dimension_mismatch(384, 3), "vector dimension mismatch: database expects 384, got 3"},
      {OrmelError::invalid_argument("dimensions must be > 0"), "invalid argument: dimensions must be > 0"},
      {OrmelError::locked("/tmp/a.ormel"), "file already locked by another handle: /tmp/a.ormel"},
      {OrmelError::read_only(), "operation requires a read-write handle (this one is read-only)"},
      {OrmelError::read_only_blocked(kBlockedRecovery),
       "read-only open blocked: pending WAL recovery — open read-write once to fix"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

TEST(ErrorTest, UnsupportedVersionStartsWithTheVersion) {
  std::string text = OrmelError::unsupported_version(9).message();
  EXPECT_EQ(text.rfind("unsupported .ormel format version 9", 0), 0u) << text;
}

}  // namespace
}  // namespace ormel
