#include "core/pager.h"

#include <algorithm>
#include <string>

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
  if (cache_.copy_payload(page, payload)) return payload;
  Page image;
  ORMEL_TRY(read_exact(*file_, page * PAGE_SIZE, image));
  ORMEL_TRY(open_page_image(cipher_, page, format_version_, image,
                            std::span<uint8_t, PAGE_PAYLOAD>(payload.data(), PAGE_PAYLOAD)));
  cache_.insert(page, payload, false);
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

}  // namespace ormel
