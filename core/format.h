// The header page (page 0): the only plain page of the file.
//
// Contract:
// - to_page writes every field of offsets 0..238, the CRC-32 of bytes 0..238 at 238 and,
//   for version 8, the cache-directory fields at 270; bytes 242..270 stay zero (apply_seal
//   writes them) and every other byte is zero.
// - from_page checks, in this order: magic (BadMagic), version 4..=8
//   (UnsupportedVersion), CRC (HeaderChecksum); then reads every field. Versions 4..6 have
//   no seal, versions below 8 zero cache-directory fields.
// - The seal (versions 7 and 8) is an AES-256-GCM tag under the DEK over an empty
//   plaintext, with header_seal_aad(h) as associated data. It covers the fields that change
//   at commits; the CRC covers bytes 0..238 only.
//
// Page layout (all integers little-endian; unlisted bytes are zero):
//   offset size field            type   sealed
//   0      4    magic "ORME"     ascii  -
//   4      2    format_version   u16    yes (own item)
//   6      4    page_size        u32    -
//   10     4    encrypted        u32    -
//   14     4    dimensions       u32    -
//   18     8    created_at       u64    -
//   26     8    nonce_counter    u64    yes
//   34     8    page_count       u64    yes
//   42     8    catalog_start    u64    yes
//   50     8    catalog_pages    u64    yes
//   58     8    catalog_len      u64    yes
//   66     8    memory_count     u64    yes
//   74     4    kdf_m_cost       u32    -
//   78     4    kdf_t_cost       u32    -
//   82     4    kdf_p_cost       u32    -
//   86     16   kdf_salt         bytes  -
//   102    12   dek_nonce        bytes  -
//   114    48   wrapped_dek      bytes  -
//   162    8    index_start      u64    yes
//   170    8    index_pages      u64    yes
//   178    8    index_len        u64    yes
//   186    8    wal_start        u64    yes
//   194    8    wal_pages        u64    yes
//   202    8    txn_id           u64    yes
//   210    4    reserved (zero, never read)
//   214    8    manifest_start   u64    yes
//   222    8    manifest_pages   u64    yes
//   230    8    manifest_len     u64    yes
//   238    4    header_crc       u32    CRC-32 of bytes 0..238
//   242    12   seal_nonce       bytes  version >= 7
//   254    16   seal_tag         bytes  version >= 7
//   270    8    cache_dir_start  u64    yes (version 8 only)
//   278    8    cache_dir_pages  u64    yes (version 8 only)
//   286    8    cache_dir_len    u64    yes (version 8 only)
//   294    7898 zero
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/crypto.h"
#include "core/error.h"

namespace ormel {

// The version new files get unless asked otherwise.
inline constexpr uint16_t FORMAT_VERSION = 8;
// The paged layout: structures shared between commits and snapshots (docs/format-v9.md).
inline constexpr uint16_t PAGED_FORMAT_VERSION = 9;
inline constexpr uint16_t MIN_FORMAT_VERSION = 4;
// First format version whose header carries a seal.
inline constexpr uint16_t SEALED_FORMAT_VERSION = 7;
// First format version whose header names a cache-directory run (at 270, sealed).
inline constexpr uint16_t CACHE_DIR_FORMAT_VERSION = 8;

struct Header {
  uint16_t format_version = FORMAT_VERSION;
  uint32_t page_size = PAGE_SIZE;
  uint32_t encrypted = 1;
  uint32_t dimensions = 0;
  uint64_t created_at = 0;
  uint64_t nonce_counter = 0;
  uint64_t page_count = 0;
  uint64_t catalog_start = 0, catalog_pages = 0, catalog_len = 0;
  uint64_t memory_count = 0;
  uint32_t kdf_m_cost = 0, kdf_t_cost = 0, kdf_p_cost = 0;
  std::array<uint8_t, 16> kdf_salt{};
  std::array<uint8_t, 12> dek_nonce{};
  std::array<uint8_t, 48> wrapped_dek{};
  uint64_t index_start = 0, index_pages = 0, index_len = 0;
  uint64_t wal_start = 0, wal_pages = 0;
  uint64_t txn_id = 0;
  uint64_t manifest_start = 0, manifest_pages = 0, manifest_len = 0;
  std::optional<std::array<uint8_t, 12>> seal_nonce;
  std::optional<std::array<uint8_t, 16>> seal_tag;
  uint64_t cache_dir_start = 0, cache_dir_pages = 0, cache_dir_len = 0;

  bool operator==(const Header&) const = default;
};

Page to_page(const Header& h);
Result<Header> from_page(std::span<const uint8_t, PAGE_SIZE> page);  // BadMagic, then UnsupportedVersion, then HeaderChecksum
// "ormel-header-seal-v7", format_version u16, then the sealed u64 fields in layout order
// (cache-directory fields only for version 8): 142 or 166 bytes.
std::vector<uint8_t> header_seal_aad(const Header& h);
// Versions >= 7: draws a seal nonce, writes nonce and tag at 242/254 of `page` and records
// them in `h`. No effect below version 7.
Status apply_seal(Header& h, Page& page, const SecretKey& dek);
Status validate_seal(const Header& h, const SecretKey& dek);  // HeaderSealInvalid
Result<Page> seal_header(Header& h, const SecretKey& dek);    // to_page + apply_seal

// Key setup: draws a fresh kdf_salt and dek_nonce, derives the KEK from `passphrase` under
// `params`, wraps `dek` under it and stores salt, nonce, wrapped key and the three cost
// parameters in `h`. The KEK is wiped on every path.
Status wrap_key(Header& h, std::string_view passphrase, const SecretKey& dek, KdfParams params);

// The key material of a header image (kdf_salt, dek_nonce, wrapped_dek): one span of bytes.
inline constexpr size_t KEY_MATERIAL_OFFSET = 86, KEY_MATERIAL_LEN = 76;
// Bytes that identify a header image wherever a copy of one lies: the magic, a version of
// 4..=8, page_size 8192 and encrypted 1 (14 bytes, 109 of them fixed bits).
inline constexpr size_t HEADER_SIGNATURE_LEN = 14;
// Ascending offsets at which a header signature begins and lies wholly within `bytes`.
std::vector<size_t> header_signatures(std::span<const uint8_t> bytes);

}  // namespace ormel
