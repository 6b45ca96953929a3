// The pager: staging, reading through the cache, the associated-data rule per version.
#include "core/pager.h"

#include <gtest/gtest.h>

#include "tests/core/support/fault_env.h"

namespace ormel {
namespace {

using testing::MemEnv;

class PagerTest : public ::testing::Test {
 protected:
  static constexpr const char* kPath = "db";

  PagerTest() : dek_bytes_(KEY_LEN) { EXPECT_TRUE(random_bytes(dek_bytes_)); }

  SecretKey dek() const { return SecretKey(std::span<const uint8_t, KEY_LEN>(dek_bytes_.data(), KEY_LEN)); }

  static std::array<uint8_t, PAGE_PAYLOAD> payload(uint8_t seed) {
    std::array<uint8_t, PAGE_PAYLOAD> p;
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(seed + i * 13);
    return p;
  }
  static std::vector<uint8_t> vec(const std::array<uint8_t, PAGE_PAYLOAD>& p) { return {p.begin(), p.end()}; }

  // A file of `pages` pages; page n holds payload(n) sealed by a pager of `version`.
  void make_file(uint64_t pages, uint16_t version) {
    std::vector<uint8_t> bytes(pages * PAGE_SIZE, 0);
    Pager writer(nullptr, dek(), 0, version);
    for (uint64_t n = 1; n < pages; ++n) {
      auto image = writer.encrypt_page(n, payload(static_cast<uint8_t>(n)));
      ASSERT_TRUE(image);
      std::copy(image->begin(), image->end(), bytes.begin() + static_cast<ptrdiff_t>(n * PAGE_SIZE));
    }
    env_.write_file(kPath, bytes);
  }

  Pager open_pager(uint16_t version) {
    return Pager(*env_.open_locked(kPath, {.write = true}), dek(), 100, version);
  }

  void patch(uint64_t offset, std::span<const uint8_t> bytes) {
    std::vector<uint8_t> file = env_.read_file(kPath);
    std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<ptrdiff_t>(offset));
    env_.write_file(kPath, file);
  }

  std::vector<uint8_t> dek_bytes_;
  MemEnv env_;
};

TEST_F(PagerTest, WritePageAcceptsAFullPayloadAndRefusesOneByteMore) {
  make_file(1, 8);
  Pager pager = open_pager(8);
  std::vector<uint8_t> full(PAGE_PAYLOAD, 0x5A);
  ASSERT_TRUE(pager.write_page(3, full));
  auto r = pager.write_page(4, std::vector<uint8_t>(PAGE_PAYLOAD + 1, 1));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "invalid argument: payload 8165 exceeds page capacity 8164");
  EXPECT_FALSE(pager.cache().contains(4));
  EXPECT_EQ(pager.cache().dirty_pages(), (std::vector<uint64_t>{3}));
  EXPECT_EQ(*pager.read_page(3), full);
  EXPECT_EQ(env_.calls(), 0u) << "staging and reading staged pages touch no file";
}

TEST_F(PagerTest, ShortPayloadReadsBackZeroPadded) {
  make_file(1, 8);
  Pager pager = open_pager(8);
  ASSERT_TRUE(pager.write_page(2, std::vector<uint8_t>{1, 2, 3}));
  std::vector<uint8_t> expected(PAGE_PAYLOAD, 0);
  expected[0] = 1, expected[1] = 2, expected[2] = 3;
  EXPECT_EQ(*pager.read_page(2), expected);
}

TEST_F(PagerTest, StagedPageShadowsTheFile) {
  make_file(4, 8);
  Pager pager = open_pager(8);
  ASSERT_TRUE(pager.write_page(2, vec(payload(77))));
  EXPECT_EQ(*pager.read_page(2), vec(payload(77)));
  EXPECT_EQ(*pager.read_page(3), vec(payload(3)));
}

TEST_F(PagerTest, MissReadsDecryptsAndCachesClean) {
  make_file(4, 8);
  Pager pager = open_pager(8);
  EXPECT_EQ(*pager.read_page(1), vec(payload(1)));
  uint64_t calls = env_.calls();
  EXPECT_EQ(*pager.read_page(1), vec(payload(1)));
  EXPECT_EQ(env_.calls(), calls) << "a hit never touches the file";
  EXPECT_EQ(pager.cache().clean_count(), 1u);
  EXPECT_TRUE(pager.cache().dirty_pages().empty());
}

TEST_F(PagerTest, AuthFailureIsNotCached) {
  make_file(4, 8);
  std::vector<uint8_t> good = env_.read_file(kPath);
  patch(2 * PAGE_SIZE + 500, std::vector<uint8_t>{static_cast<uint8_t>(good[2 * PAGE_SIZE + 500] ^ 1)});
  Pager pager = open_pager(8);
  auto r = pager.read_page(2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), OrmelError::page_auth_failed(2));
  EXPECT_FALSE(pager.cache().contains(2));
  EXPECT_EQ(pager.cache().size(), 0u);
  // Repaired on disk, the page reads: nothing of the failure was remembered.
  patch(2 * PAGE_SIZE + 500, std::vector<uint8_t>{good[2 * PAGE_SIZE + 500]});
  EXPECT_EQ(*pager.read_page(2), vec(payload(2)));
}

TEST_F(PagerTest, ShortFileAndReadErrorsAreIo) {
  make_file(3, 8);
  std::vector<uint8_t> cut = env_.read_file(kPath);
  cut.resize(2 * PAGE_SIZE + 100);
  env_.write_file(kPath, cut);
  Pager pager = open_pager(8);
  auto r = pager.read_page(2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "io error: failed to fill whole buffer");
  EXPECT_EQ(pager.read_page(9).error().message(), "io error: failed to fill whole buffer");
  env_.fail_at(env_.calls() + 1, testing::FailMode::Once);
  EXPECT_EQ(pager.read_page(1).error().message(), "io error: injected fault");
  EXPECT_EQ(pager.cache().size(), 0u);
  EXPECT_TRUE(pager.read_page(1));
}

TEST_F(PagerTest, EncryptPageAdvancesTheCounterAndRoundTrips) {
  make_file(1, 8);
  Pager pager = open_pager(8);
  auto first = pager.encrypt_page(5, payload(5));
  auto second = pager.encrypt_page(5, payload(5));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(pager.nonce_counter(), 102u);
  EXPECT_EQ((*first)[4], 101);
  EXPECT_EQ((*second)[4], 102);
  EXPECT_NE(*first, *second);
  auto file = *env_.open_locked("other", {.write = true, .create = true});
  ASSERT_TRUE(file->write_at(5 * PAGE_SIZE, *second));
  Pager reader(std::move(file), dek(), 0, 8);
  EXPECT_EQ(*reader.read_page(5), vec(payload(5)));
}

// A run sealed at once (on two threads from 64 pages on) is byte for byte the run sealed
// page by page: page i under counter first + i, its short last page zero-padded.
TEST_F(PagerTest, SealRunEqualsPageByPageSealing) {
  const struct {
    const char* name;
    uint16_t version;
    size_t pages, bytes;
  } cases[] = {
      {"empty blob, one page", 8, 1, 0},
      {"one short page", 8, 1, 100},
      {"below the split, last page full", 8, 63, 63 * PAGE_PAYLOAD},
      {"split over two threads, short last page", 8, 200, 199 * PAGE_PAYLOAD + 7},
      {"split, unbound associated data", 5, 97, 96 * PAGE_PAYLOAD + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> plain(c.bytes);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 31 + i / 8164);
    Pager whole(nullptr, dek(), 100, c.version);
    std::vector<uint8_t> images(c.pages * PAGE_SIZE, 0xEE);
    ASSERT_TRUE(whole.seal_run(40, plain, images));
    EXPECT_EQ(whole.nonce_counter(), 100 + c.pages);

    Pager single(nullptr, dek(), 100, c.version);
    for (size_t i = 0; i < c.pages; ++i) {
      std::vector<uint8_t> payload(PAGE_PAYLOAD, 0);
      const size_t from = std::min(plain.size(), i * PAGE_PAYLOAD);
      std::copy(plain.begin() + from, plain.begin() + std::min(plain.size(), from + PAGE_PAYLOAD), payload.begin());
      auto image = single.encrypt_page(40 + i, std::span<const uint8_t, PAGE_PAYLOAD>(payload.data(), PAGE_PAYLOAD));
      ASSERT_TRUE(image);
      ASSERT_TRUE(std::equal(image->begin(), image->end(), images.begin() + i * PAGE_SIZE)) << "page " << i;
    }
  }
}

TEST_F(PagerTest, SealRunRefusesPlaintextBeyondItsPagesAndPartialImages) {
  Pager pager(nullptr, dek(), 100, 8);
  std::vector<uint8_t> images(2 * PAGE_SIZE);
  EXPECT_FALSE(pager.seal_run(1, std::vector<uint8_t>(2 * PAGE_PAYLOAD + 1), images));
  EXPECT_FALSE(pager.seal_run(1, std::vector<uint8_t>(10), std::span(images).first(PAGE_SIZE + 1)));
  EXPECT_EQ(pager.nonce_counter(), 100u) << "a refused run uses no counters";
}

TEST_F(PagerTest, WriteRawPutsTheImageAtOffsetZeroWithoutSync) {
  make_file(3, 8);
  Pager pager = open_pager(8);
  Page header;
  header.fill(0x33);
  ASSERT_TRUE(pager.write_raw(header));
  std::vector<uint8_t> file = env_.read_file(kPath);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), file.begin()));
  env_.crash(testing::CrashMode::Drop);
  EXPECT_EQ(env_.read_file(kPath)[0], 0) << "write_raw does not sync";
}

// Which images a reader of each version accepts. Versions 4 and 5 fall back to the bound
// rule (a page an interrupted upgrade already re-sealed); no rule accepts a moved image.
TEST_F(PagerTest, AssociatedDataRulePerVersion) {
  struct Case {
    uint16_t writer, reader;
    bool moved;  // the image of page 1 copied over page 2
    bool readable;
  } cases[] = {
      {8, 8, false, true}, {6, 8, false, true},  {5, 8, false, false}, {5, 5, false, true},
      {4, 4, false, true}, {8, 5, false, true},  {8, 4, false, true},  {8, 8, true, false},
      {8, 5, true, false}, {5, 5, true, false},
  };
  for (const Case& c : cases) {
    make_file(3, c.writer);
    if (c.moved) {
      std::vector<uint8_t> file = env_.read_file(kPath);
      patch(2 * PAGE_SIZE, std::span(file).subspan(PAGE_SIZE, PAGE_SIZE));
    }
    Pager pager = open_pager(c.reader);
    auto r = pager.read_page(2);
    std::string what = "writer " + std::to_string(c.writer) + " reader " + std::to_string(c.reader) +
                       (c.moved ? " moved" : "");
    if (c.readable) {
      ASSERT_TRUE(r) << what;
      EXPECT_EQ(*r, vec(payload(2))) << what;
    } else {
      ASSERT_FALSE(r) << what;
      EXPECT_EQ(r.error(), OrmelError::page_auth_failed(2)) << what;
      EXPECT_FALSE(pager.cache().contains(2)) << what;
    }
  }
}

}  // namespace
}  // namespace ormel
