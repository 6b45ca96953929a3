// Real files: uncached writes large and aligned enough to bypass the kernel's cache, the
// rest and plain writes, read back byte for byte on a disk file system and (where one is mounted) on tmpfs,
// whose support of direct writes depends on the kernel.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/file.h"

namespace ormel {
namespace {

struct WriteCase {
  const char* name;
  uint64_t offset;
  size_t size;
  size_t misalign;  // bytes the source lies past a 4096-byte boundary
};

// Direct from aligned memory, through the bounce buffer (once and in several pieces), and
// the writes that must go through the cache: an unaligned offset, an unaligned length and
// a small write; each partly over what the ones before wrote.
const WriteCase kCases[] = {
    {"aligned memory", 0, 1 << 20, 0},
    {"unaligned memory", 8192, (1 << 20) + 4096, 1},
    {"larger than the bounce buffer", 3 * 4096, (9 << 20) + 8192, 7},
    {"unaligned offset", 100, 300 << 10, 0},
    {"unaligned length", 4096, (300 << 10) + 1, 0},
    {"small", 5000, 4096, 0},
};

void write_and_read_back(const std::filesystem::path& dir) {
  const std::string path = (dir / ("direct_" + std::to_string(getpid()))).string();
  std::filesystem::remove(path);
  auto file = posix_env()->open_locked(path, OpenMode{.write = true, .create = true});
  ASSERT_TRUE(file) << file.error().message();
  std::vector<uint8_t> model;
  std::mt19937 gen(5);
  for (const WriteCase& c : kCases) {
    SCOPED_TRACE(c.name);
    // Memory aligned to 4096, then offset by the case's misalignment.
    const size_t room = (c.size + c.misalign + 4095) / 4096 * 4096;  // aligned_alloc takes whole multiples
    std::unique_ptr<uint8_t, decltype(&std::free)> memory(static_cast<uint8_t*>(std::aligned_alloc(4096, room)),
                                                          &std::free);
    ASSERT_NE(memory, nullptr);
    uint8_t* source = memory.get() + c.misalign;
    for (size_t i = 0; i < c.size; ++i) source[i] = static_cast<uint8_t>(gen());
    ASSERT_TRUE((*file)->write_uncached(c.offset, std::span<const uint8_t>(source, c.size)));
    // A plain write over part of it lands too.
    source[0] ^= 0xFF;
    ASSERT_TRUE((*file)->write_at(c.offset, std::span<const uint8_t>(source, 1)));
    if (model.size() < c.offset + c.size) model.resize(c.offset + c.size, 0);
    std::copy(source, source + c.size, model.begin() + static_cast<ptrdiff_t>(c.offset));

    ASSERT_TRUE((*file)->sync());
    auto size = (*file)->size();
    ASSERT_TRUE(size);
    ASSERT_EQ(*size, model.size());
    std::vector<uint8_t> back(model.size());
    auto read = (*file)->read_at(0, back);
    ASSERT_TRUE(read);
    ASSERT_EQ(*read, back.size());
    ASSERT_TRUE(back == model);
  }
  file->reset();
  std::filesystem::remove(path);
}

TEST(PosixFile, LargeAlignedWritesAndTheRestReadBack) {
  write_and_read_back(::testing::TempDir());
  if (std::filesystem::is_directory("/dev/shm")) write_and_read_back("/dev/shm");
}

}  // namespace
}  // namespace ormel
