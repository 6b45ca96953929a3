#include "core/pager.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "core/parallel.h"

namespace ormel {

Status open_page_image(PageCipher& cipher, uint64_t page, uint16_t format_version,
                       std::span<const uint8_t, PAGE_SIZE> image, std::span<uint8_t, PAGE_PAYLOAD> payload) {
  const bool binds = format_version >= PAGE_AAD_FORMAT_VERSION;
  Status opened = cipher.open(page, binds, image, payload);
  if (!opened && !binds) opened = cipher.open(page, true, image, payload);
  return opened;
}

Pager::Pager(std::unique_ptr<File> file, SecretKey dek, uint64_t nonce_counter, uint16_t format_version)
    : file_(std::move(file)),
      dek_(std::move(dek)),
      cipher_(dek_),
      nonce_counter_(nonce_counter),
      nonce_limit_(nonce_counter),
      format_version_(format_version) {}

Result<std::vector<uint8_t>> Pager::read_page(uint64_t page) {
  std::vector<uint8_t> payload(PAGE_PAYLOAD);
  const bool cache_serves = !from_file_ || cache_.is_dirty(page);
  if (cache_serves && cache_.copy_payload(page, payload)) return payload;
  Page image;
  ORMEL_TRY(read_exact(*file_, page * PAGE_SIZE, image));
  ORMEL_TRY(open_page_image(cipher_, page, format_version_, image,
                            std::span<uint8_t, PAGE_PAYLOAD>(payload.data(), PAGE_PAYLOAD)));
  if (!from_file_) cache_.insert(page, payload, false);
  return payload;
}

Status Pager::open_image(PageCipher& cipher, uint64_t page, std::span<const uint8_t, PAGE_SIZE> image,
                         std::span<uint8_t, PAGE_PAYLOAD> payload) const {
  return open_page_image(cipher, page, format_version_, image, payload);
}

Status Pager::fetch_pages(uint64_t first, uint64_t count, std::span<uint8_t> images, std::span<uint8_t> payloads,
                          std::vector<bool>& sealed) {
  sealed.assign(count, false);
  uint64_t i = 0;
  while (i < count) {
    if (cache_.copy_payload(first + i, payloads.subspan(i * PAGE_PAYLOAD, PAGE_PAYLOAD))) {
      ++i;
      continue;
    }
    uint64_t end = i + 1;  // the uncached pages from i on, read at once
    while (end < count && !cache_.contains(first + end)) ++end;
    ORMEL_TRY(read_exact(*file_, (first + i) * PAGE_SIZE, images.subspan(i * PAGE_SIZE, (end - i) * PAGE_SIZE)));
    for (; i < end; ++i) sealed[i] = true;
  }
  return {};
}

namespace {

Status check_payload_size(size_t size) {
  if (size <= PAGE_PAYLOAD) return {};
  return fail(OrmelError::invalid_argument("payload " + std::to_string(size) + " exceeds page capacity " +
                                           std::to_string(PAGE_PAYLOAD)));
}

}  // namespace

Status Pager::write_page(uint64_t page, std::span<const uint8_t> payload) {
  ORMEL_TRY(check_payload_size(payload.size()));
  cache_.insert(page, std::vector<uint8_t>(payload.begin(), payload.end()), true);
  return {};
}

Status Pager::write_shared_page(uint64_t page, std::shared_ptr<const uint8_t[]> block,
                                std::span<const uint8_t> payload) {
  ORMEL_TRY(check_payload_size(payload.size()));
  cache_.insert_shared(page, std::move(block), payload, true);
  return {};
}

Status Pager::write_raw(std::span<const uint8_t, PAGE_SIZE> image) { return file_->write_at(0, image); }

Result<Page> Pager::encrypt_page(uint64_t page, std::span<const uint8_t, PAGE_PAYLOAD> payload) {
  Page image;
  ORMEL_TRY(seal_page(page, payload, image));
  return image;
}

Status Pager::seal_page(uint64_t page, std::span<const uint8_t, PAGE_PAYLOAD> payload,
                        std::span<uint8_t, PAGE_SIZE> image) {
  ++nonce_counter_;
  return cipher_.seal(page, nonce_counter_, binds_page(), payload, image);
}

namespace {

// From this many pages on, a run is sealed on two threads: below it a thread's start costs
// more than the half it takes over.
constexpr size_t kSplitSealPages = 64;
constexpr size_t kSealChunkPages = 32;

// Seals pages [begin, end) of a run whose page i is sealed under counter first_counter + i.
Status seal_pages(PageCipher& cipher, bool bind_page, uint64_t first_page, uint64_t first_counter,
                  std::span<const uint8_t> plain, std::span<uint8_t> images, size_t begin, size_t end) {
  std::array<uint8_t, PAGE_PAYLOAD> padded;  // a page that the plaintext fills only in part
  for (size_t i = begin; i < end; ++i) {
    const size_t from = std::min(plain.size(), i * PAGE_PAYLOAD);
    const size_t to = std::min(plain.size(), from + PAGE_PAYLOAD);
    const uint8_t* payload = plain.data() + from;
    if (to - from < PAGE_PAYLOAD) {
      std::fill(std::copy(plain.begin() + from, plain.begin() + to, padded.begin()), padded.end(), 0);
      payload = padded.data();
    }
    ORMEL_TRY(cipher.seal(first_page + i, first_counter + i, bind_page,
                          std::span<const uint8_t, PAGE_PAYLOAD>(payload, PAGE_PAYLOAD),
                          std::span<uint8_t, PAGE_SIZE>(images.data() + i * PAGE_SIZE, PAGE_SIZE)));
  }
  return {};
}

}  // namespace

Status Pager::seal_run(uint64_t first_page, std::span<const uint8_t> plain, std::span<uint8_t> images) {
  const size_t pages = images.size() / PAGE_SIZE;
  if (images.size() % PAGE_SIZE != 0 || plain.size() > pages * PAGE_PAYLOAD) {
    return fail(OrmelError::invalid_argument("a run of " + std::to_string(plain.size()) + " bytes does not fill " +
                                             std::to_string(pages) + " pages"));
  }
  // Counters are handed out before any page is sealed, page i getting first + i, so the
  // images are the same whichever thread seals which page.
  const uint64_t first = nonce_counter_ + 1;
  nonce_counter_ += pages;
  if (pages < kSplitSealPages) return seal_pages(cipher_, binds_page(), first_page, first, plain, images, 0, pages);
  // The second thread seals with a cipher of its own, keyed from the same DEK.
  std::optional<PageCipher> other;
  std::array<Status, 2> results{};
  run_chunks(pages, kSealChunkPages, 2, [&](size_t begin, size_t end, size_t part) {
    if (!results[part]) return;  // this part already failed: the run fails as a whole
    if (part == 1 && !other) other.emplace(dek_);
    PageCipher& cipher = part == 0 ? cipher_ : *other;
    results[part] = seal_pages(cipher, binds_page(), first_page, first, plain, images, begin, end);
  });
  for (const Status& r : results) ORMEL_TRY(r);
  return {};
}

}  // namespace ormel
