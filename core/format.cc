#include "core/format.h"

#include <cstring>
#include <string_view>
#include <type_traits>

#include "core/byte_order.h"

namespace ormel {
namespace {

constexpr std::string_view kMagic = "ORME";
constexpr std::string_view kSealPrefix = "ormel-header-seal-v7";
constexpr size_t kCrcOffset = 238;
constexpr size_t kSealNonceOffset = 242;
constexpr size_t kSealTagOffset = 254;
constexpr size_t kCacheDirOffset = 270;

// The header's fields at their page offsets: the one description of the layout that both
// directions share. A mutable page is written from `h`; a const page is read into `h`.
template <class P, class H>
void layout(P* page, H& h) {
  constexpr bool kWrite = !std::is_const_v<P>;
  static_assert(kWrite == std::is_const_v<H>);
  auto u = [&](size_t off, auto& field) {
    using T = std::remove_cvref_t<decltype(field)>;
    if constexpr (kWrite) {
      store_le<T>(page + off, field);
    } else {
      field = load_le<T>(page + off);
    }
  };
  auto bytes = [&](size_t off, auto& field) {
    if constexpr (kWrite) {
      std::memcpy(page + off, field.data(), field.size());
    } else {
      std::memcpy(field.data(), page + off, field.size());
    }
  };
  u(4, h.format_version);
  u(6, h.page_size);
  u(10, h.encrypted);
  u(14, h.dimensions);
  u(18, h.created_at);
  u(26, h.nonce_counter);
  u(34, h.page_count);
  u(42, h.catalog_start);
  u(50, h.catalog_pages);
  u(58, h.catalog_len);
  u(66, h.memory_count);
  u(74, h.kdf_m_cost);
  u(78, h.kdf_t_cost);
  u(82, h.kdf_p_cost);
  bytes(86, h.kdf_salt);
  bytes(102, h.dek_nonce);
  bytes(114, h.wrapped_dek);
  u(162, h.index_start);
  u(170, h.index_pages);
  u(178, h.index_len);
  u(186, h.wal_start);
  u(194, h.wal_pages);
  u(202, h.txn_id);
  u(214, h.manifest_start);
  u(222, h.manifest_pages);
  u(230, h.manifest_len);
  if (h.format_version >= CACHE_DIR_FORMAT_VERSION) {
    u(kCacheDirOffset, h.cache_dir_start);
    u(kCacheDirOffset + 8, h.cache_dir_pages);
    u(kCacheDirOffset + 16, h.cache_dir_len);
  }
}

uint32_t header_crc(std::span<const uint8_t, PAGE_SIZE> page) { return crc32(page.first<kCrcOffset>()); }

}  // namespace

Page to_page(const Header& h) {
  Page page{};
  std::memcpy(page.data(), kMagic.data(), kMagic.size());
  layout(page.data(), h);
  store_le(page.data() + kCrcOffset, header_crc(page));
  return page;
}

Result<Header> from_page(std::span<const uint8_t, PAGE_SIZE> page) {
  if (std::memcmp(page.data(), kMagic.data(), kMagic.size()) != 0) return fail(OrmelError::bad_magic());
  uint16_t version = load_le<uint16_t>(page.data() + 4);
  if (version < MIN_FORMAT_VERSION || version > PAGED_FORMAT_VERSION) {
    return fail(OrmelError::unsupported_version(version));
  }
  if (load_le<uint32_t>(page.data() + kCrcOffset) != header_crc(page)) return fail(OrmelError::header_checksum());
  Header h;
  h.format_version = version;
  layout(page.data(), h);
  if (version >= SEALED_FORMAT_VERSION) {
    std::array<uint8_t, 12> nonce;
    std::array<uint8_t, 16> tag;
    std::memcpy(nonce.data(), page.data() + kSealNonceOffset, nonce.size());
    std::memcpy(tag.data(), page.data() + kSealTagOffset, tag.size());
    h.seal_nonce = nonce;
    h.seal_tag = tag;
  }
  return h;
}

std::vector<uint8_t> header_seal_aad(const Header& h) {
  std::vector<uint8_t> aad(kSealPrefix.begin(), kSealPrefix.end());
  auto put = [&aad]<class T>(T v) {
    size_t at = aad.size();
    aad.resize(at + sizeof(T));
    store_le<T>(aad.data() + at, v);
  };
  put(h.format_version);
  for (uint64_t v : {h.nonce_counter, h.page_count, h.catalog_start, h.catalog_pages, h.catalog_len, h.memory_count,
                     h.index_start, h.index_pages, h.index_len, h.wal_start, h.wal_pages, h.txn_id, h.manifest_start,
                     h.manifest_pages, h.manifest_len}) {
    put(v);
  }
  if (h.format_version >= CACHE_DIR_FORMAT_VERSION) {
    for (uint64_t v : {h.cache_dir_start, h.cache_dir_pages, h.cache_dir_len}) put(v);
  }
  return aad;
}

Status apply_seal(Header& h, Page& page, const SecretKey& dek) {
  if (h.format_version < SEALED_FORMAT_VERSION) return {};
  std::array<uint8_t, NONCE_LEN> nonce = random_nonce();
  ORMEL_ASSIGN(std::vector<uint8_t> tag, aead_encrypt(dek, nonce, {}, header_seal_aad(h)));
  if (tag.size() != TAG_LEN) return fail(OrmelError::crypto("header seal: unexpected tag length"));
  std::array<uint8_t, TAG_LEN> tag_bytes;
  std::memcpy(tag_bytes.data(), tag.data(), TAG_LEN);
  std::memcpy(page.data() + kSealNonceOffset, nonce.data(), NONCE_LEN);
  std::memcpy(page.data() + kSealTagOffset, tag_bytes.data(), TAG_LEN);
  h.seal_nonce = nonce;
  h.seal_tag = tag_bytes;
  return {};
}

Status validate_seal(const Header& h, const SecretKey& dek) {
  if (h.format_version < SEALED_FORMAT_VERSION) return {};
  if (!h.seal_nonce || !h.seal_tag) return fail(OrmelError::header_seal_invalid());
  if (!aead_decrypt(dek, *h.seal_nonce, *h.seal_tag, header_seal_aad(h))) {
    return fail(OrmelError::header_seal_invalid());
  }
  return {};
}

Result<Page> seal_header(Header& h, const SecretKey& dek) {
  Page page = to_page(h);
  ORMEL_TRY(apply_seal(h, page, dek));
  return page;
}

Status wrap_key(Header& h, std::string_view passphrase, const SecretKey& dek, KdfParams params) {
  ORMEL_TRY(random_bytes(h.kdf_salt));
  ORMEL_ASSIGN(SecretKey kek, derive_kek(passphrase, h.kdf_salt, params));
  h.dek_nonce = random_nonce();
  ORMEL_ASSIGN(h.wrapped_dek, wrap_dek(kek, h.dek_nonce, dek));
  h.kdf_m_cost = params.m_cost;
  h.kdf_t_cost = params.t_cost;
  h.kdf_p_cost = params.p_cost;
  return {};
}

std::vector<size_t> header_signatures(std::span<const uint8_t> bytes) {
  std::vector<size_t> found;
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  for (size_t at = text.find(kMagic); at != std::string_view::npos; at = text.find(kMagic, at + 1)) {
    if (bytes.size() - at < HEADER_SIGNATURE_LEN) break;
    const uint8_t* b = bytes.data() + at;
    const uint16_t version = load_le<uint16_t>(b + 4);
    if (version >= MIN_FORMAT_VERSION && version <= PAGED_FORMAT_VERSION && load_le<uint32_t>(b + 6) == PAGE_SIZE &&
        load_le<uint32_t>(b + 10) == 1) {
      found.push_back(at);
    }
  }
  return found;
}

}  // namespace ormel
