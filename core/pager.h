// Pager: the only reader of data pages and the only holder of page plaintext.
//
// Contract:
// - read_page returns a copy of the 8164-byte payload: from the cache (dirty or clean) or,
//   on a miss, read from the file, opened under the file's associated-data rule and cached
//   clean. A page that fails to authenticate is not cached: PageAuthFailed(page).
// - While a FileReads scope lives, read_page reads every page that is not staged from the
//   file, cached or not, and caches nothing (so evicts nothing): what verification checks
//   is the file, which may have changed under the handle. A staged (dirty) page, which the
//   file does not hold yet, is still its cached payload.
// - Associated-data rule: the page number is bound from format version 6 on. A page of a
//   version 4 or 5 file opens with empty associated data first, then once more with the
//   page number bound: both rules authenticate only the genuine page, so a page re-sealed
//   under the new rule before its header said so still reads.
// - write_page and write_shared_page only stage: the payload is cached dirty (its zero
//   padding to 8164 bytes implied, not stored); no file I/O happens. write_shared_page
//   keeps a span of a block that many pages share instead of copying it.
// - write_raw writes a header image at offset 0 without syncing.
// - encrypt_page and seal_page advance nonce_counter by one and seal with the current rule,
//   so no (page, counter) nonce repeats under the DEK; seal_page writes the image into the
//   caller's buffer (the flush seals straight into the bytes it writes).
// - seal_run seals n = images.size() / PAGE_SIZE consecutive pages from `first_page`, page
//   i holding bytes [i * 8164, (i + 1) * 8164) of `plain` zero-padded, under counters
//   nonce_counter + 1 + i, and advances nonce_counter by n, as n calls of seal_page would.
//   A long run is split over two threads; the images do not depend on how it was split.
// - nonce_limit is the counter that the header durable at offset 0 covers: a page sealed
//   with a counter up to it may be written without first writing a header. It starts at
//   the counter the pager was opened with; whoever makes a header durable raises it, and no
//   header written in place may name a counter below it.
// - The DEK is wiped when the Pager is destroyed; destroying it closes the file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/cache.h"
#include "core/crypto.h"
#include "core/error.h"
#include "core/file.h"

namespace ormel {

// First format version whose pages bind their page number as associated data.
inline constexpr uint16_t PAGE_AAD_FORMAT_VERSION = 6;

// Opens a page image as page `page` under the associated-data rule of `format_version`
// (above): PageAuthFailed(page) unless it is that page's genuine image.
Status open_page_image(PageCipher& cipher, uint64_t page, uint16_t format_version,
                       std::span<const uint8_t, PAGE_SIZE> image, std::span<uint8_t, PAGE_PAYLOAD> payload);

class Pager {
 public:
  Pager(std::unique_ptr<File> file, SecretKey dek, uint64_t nonce_counter, uint16_t format_version);

  Result<std::vector<uint8_t>> read_page(uint64_t page);
  // Makes read_page read from the file (see the contract) until destroyed.
  class FileReads {
   public:
    explicit FileReads(Pager& pager) : pager_(pager) { pager_.from_file_ = true; }
    ~FileReads() { pager_.from_file_ = false; }
    FileReads(const FileReads&) = delete;
    FileReads& operator=(const FileReads&) = delete;

   private:
    Pager& pager_;
  };
  // A cached page's stored bytes (its payload less the zero padding not stored), touched as
  // read_page touches it, without a copy: valid until the next call that caches a page.
  // Nothing on a miss.
  std::optional<std::span<const uint8_t>> cached_payload(uint64_t page) { return cache_.lookup(page); }
  // For bulk readers that open pages on several threads: the payload of each cached page
  // among `count` pages from `first` is copied to its place in `payloads`, and the sealed
  // images of the others are read from the file (consecutive ones in one read) into
  // `images`; sealed[i] says which of the two page first + i got. Nothing enters the cache.
  // Buffers hold count pages (PAGE_SIZE apart in `images`, PAGE_PAYLOAD in `payloads`).
  Status fetch_pages(uint64_t first, uint64_t count, std::span<uint8_t> images, std::span<uint8_t> payloads,
                     std::vector<bool>& sealed);
  // Opens an image under this file's associated-data rule with `cipher` (keyed from dek(),
  // owned by the calling thread); safe to call from several threads at once.
  Status open_image(PageCipher& cipher, uint64_t page, std::span<const uint8_t, PAGE_SIZE> image,
                    std::span<uint8_t, PAGE_PAYLOAD> payload) const;
  // >8164 bytes: InvalidArgument "payload N exceeds page capacity 8164".
  Status write_page(uint64_t page, std::span<const uint8_t> payload);
  // `payload` lies in `block`. Same refusal as write_page.
  Status write_shared_page(uint64_t page, std::shared_ptr<const uint8_t[]> block, std::span<const uint8_t> payload);
  Status write_raw(std::span<const uint8_t, PAGE_SIZE> image);
  Result<Page> encrypt_page(uint64_t page, std::span<const uint8_t, PAGE_PAYLOAD> payload);
  Status seal_page(uint64_t page, std::span<const uint8_t, PAGE_PAYLOAD> payload, std::span<uint8_t, PAGE_SIZE> image);
  // `plain` holds at most n * 8164 bytes and `images` whole pages (InvalidArgument).
  Status seal_run(uint64_t first_page, std::span<const uint8_t> plain, std::span<uint8_t> images);

  uint64_t nonce_counter() const { return nonce_counter_; }
  void set_nonce_counter(uint64_t counter) { nonce_counter_ = counter; }
  uint64_t nonce_limit() const { return nonce_limit_; }
  void set_nonce_limit(uint64_t limit) { nonce_limit_ = limit; }
  uint16_t format_version() const { return format_version_; }
  void set_format_version(uint16_t version) { format_version_ = version; }
  PageCache& cache() { return cache_; }
  File& file() { return *file_; }
  const SecretKey& dek() const { return dek_; }

 private:
  bool binds_page() const { return format_version_ >= PAGE_AAD_FORMAT_VERSION; }

  std::unique_ptr<File> file_;
  SecretKey dek_;
  PageCipher cipher_;  // keyed from dek_, so declared after it
  uint64_t nonce_counter_;
  uint64_t nonce_limit_;
  uint16_t format_version_;
  PageCache cache_;
  bool from_file_ = false;  // a FileReads scope lives
};

}  // namespace ormel
