// Log records and crash recovery, on the raw file: the input is a whole database file, read
// through an in-memory file as a read-write open reads it before any key exists (the header,
// then the log region it names, or a scan of the whole file for a torn header).
#include <cstring>

#include "core/format.h"
#include "core/wal.h"
#include "tests/core/support/fault_env.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

namespace {

void expect_page_sized(const std::vector<wal::WalFrame>& frames) {
  for (const wal::WalFrame& frame : frames) {
    if (frame.image.size() != PAGE_SIZE) fuzz::fail("recovery returned a frame that is not page-sized");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  testing::MemEnv env;
  env.write_file("/db", std::vector<uint8_t>(data, data + size));
  auto file = env.open_locked("/db", {.write = false});
  if (!file) fuzz::fail("the in-memory file does not open", &file.error());

  Page page{};
  std::memcpy(page.data(), data, std::min(size, page.size()));
  if (auto header = from_page(page)) {
    auto frames = wal::recover(**file, header->wal_start, header->wal_pages, header->txn_id);
    if (!frames) fuzz::fail("recovery of an in-memory file failed", &frames.error());
    if (*frames) expect_page_sized(**frames);
  }
  auto newest = wal::scan_newest(**file);
  if (!newest) fuzz::fail("the log scan of an in-memory file failed", &newest.error());
  if (*newest) {
    expect_page_sized((*newest)->frames);
    if ((*newest)->newest_started < (*newest)->txn_id) fuzz::fail("the newest started txn is older than one found");
  }
  return 0;
}
