// The write-ahead log: record format, recovery rules, region growth, and atomicity under
// power loss at every write and sync.
#include "core/wal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "core/byte_order.h"
#include "core/crypto.h"
#include "core/format.h"
#include "tests/core/support/fault_env.h"

namespace ormel {
namespace {

using testing::CrashMode;
using testing::MemEnv;
using wal::WalFrame;

constexpr const char* kPath = "db";
constexpr CrashMode kModes[] = {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn};

std::vector<uint8_t> image(uint32_t seed) {
  std::vector<uint8_t> img(PAGE_SIZE);
  for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>((seed * 131 + i * 7) ^ (i >> 8));
  return img;
}

std::vector<WalFrame> frames(size_t n, uint32_t seed) {
  std::vector<WalFrame> out;
  for (size_t i = 0; i < n; ++i) out.push_back({20 + i, image(seed + static_cast<uint32_t>(i))});
  return out;
}

std::unique_ptr<File> open_file(MemEnv& env, bool create = false) {
  auto f = env.open_locked(kPath, {.write = true, .create = create});
  if (!f) {
    ADD_FAILURE() << f.error().message();
    return nullptr;
  }
  return std::move(*f);
}

void expect_same(const std::optional<std::vector<WalFrame>>& got, const std::vector<WalFrame>& want) {
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ((*got)[i].page, want[i].page) << i;
    EXPECT_EQ((*got)[i].image, want[i].image) << i;
  }
}

// A file whose header page is followed by an 8-page region at page 1 holding one
// committed transaction.
class WalTest : public ::testing::Test {
 protected:
  void commit_txn(uint64_t txn, const std::vector<WalFrame>& fs, uint64_t wal_start = 1) {
    auto f = open_file(env_);
    ASSERT_TRUE(wal::commit(*f, wal_start, 8, txn, fs));
  }
  Result<std::optional<std::vector<WalFrame>>> recover(uint64_t last_applied, uint64_t wal_pages = 8) {
    auto f = open_file(env_);
    return wal::recover(*f, 1, wal_pages, last_applied);
  }
  void edit(const std::function<void(std::vector<uint8_t>&)>& change) {
    std::vector<uint8_t> bytes = env_.read_file(kPath);
    change(bytes);
    env_.write_file(kPath, bytes);
  }

  void SetUp() override { env_.write_file(kPath, std::vector<uint8_t>(PAGE_SIZE, 0)); }

  MemEnv env_;
};

TEST_F(WalTest, RecordLayout) {
  std::vector<WalFrame> fs = {{9, image(1)}, {0, image(2)}};
  commit_txn(0x0102030405060708ull, fs);
  std::vector<uint8_t> bytes = env_.read_file(kPath);
  ASSERT_EQ(bytes.size(), PAGE_SIZE + 2 * 8221 + 29);
  const uint8_t* rec = bytes.data() + PAGE_SIZE;
  for (size_t i = 0; i < fs.size(); ++i, rec += wal::FRAME_RECORD) {
    EXPECT_EQ(std::string(rec, rec + 4), "OWAL");
    EXPECT_EQ(rec[4], 1);
    EXPECT_EQ(load_le<uint64_t>(rec + 5), 0x0102030405060708ull);
    EXPECT_EQ(load_le<uint64_t>(rec + 13), fs[i].page);
    EXPECT_EQ(load_le<uint32_t>(rec + 21), PAGE_SIZE);
    EXPECT_EQ(load_le<uint32_t>(rec + 25), crc32(fs[i].image));
    EXPECT_TRUE(std::equal(fs[i].image.begin(), fs[i].image.end(), rec + 29));
  }
  EXPECT_EQ(std::string(rec, rec + 4), "OWAL");
  EXPECT_EQ(rec[4], 2);
  EXPECT_EQ(load_le<uint64_t>(rec + 5), 0x0102030405060708ull);
  EXPECT_EQ(load_le<uint64_t>(rec + 13), 0u);
  EXPECT_EQ(load_le<uint32_t>(rec + 21), 0u);
  std::vector<uint8_t> all = fs[0].image;
  all.insert(all.end(), fs[1].image.begin(), fs[1].image.end());
  EXPECT_EQ(load_le<uint32_t>(rec + 25), crc32(all));
}

TEST_F(WalTest, EightPageRegionHoldsSevenFrames) {
  commit_txn(1, frames(7, 1));
  expect_same(*recover(0), frames(7, 1));

  uint64_t calls = env_.mutating_calls();
  auto f = open_file(env_);
  auto r = wal::commit(*f, 1, 8, 2, frames(8, 1));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "invalid argument: transaction needs 65797 WAL bytes but the region holds 65536");
  EXPECT_EQ(env_.mutating_calls(), calls) << "nothing written";
}

TEST_F(WalTest, FramesMustBePageSized) {
  for (size_t size : {size_t{100}, size_t{0}, PAGE_SIZE + 1, 2 * PAGE_SIZE - 1}) {
    SCOPED_TRACE(size);
    std::vector<WalFrame> bad = {{9, image(1)}, {3, std::vector<uint8_t>(size)}};
    auto f = open_file(env_);
    EXPECT_EQ(wal::commit(*f, 1, 8, 1, bad).error().message(), "invalid argument: WAL frame is not page-sized");
    EXPECT_EQ(wal::checkpoint(*f, bad).error().message(), "invalid argument: WAL frame is not page-sized");
    EXPECT_EQ(env_.mutating_calls(), 0u);
  }
}

// A run's pages handed over as one frame are logged exactly as one frame per page would be,
// count against the region page by page, and reach their consecutive home pages.
TEST_F(WalTest, AMultiPageFrameIsLoggedPageByPage) {
  std::vector<WalFrame> single = {{20, image(1)}, {21, image(2)}, {22, image(3)}, {0, image(4)}};
  std::vector<WalFrame> runs = {{20, single[0].image}, {0, single[3].image}};
  runs[0].image.insert(runs[0].image.end(), single[1].image.begin(), single[1].image.end());
  runs[0].image.insert(runs[0].image.end(), single[2].image.begin(), single[2].image.end());

  commit_txn(3, single);
  const std::vector<uint8_t> logged_singly = env_.read_file(kPath);
  commit_txn(3, runs);
  EXPECT_EQ(env_.read_file(kPath), logged_singly);
  expect_same(*recover(0), single);

  auto f = open_file(env_);
  ASSERT_TRUE(wal::checkpoint(*f, runs));
  env_.crash(CrashMode::Drop);
  std::vector<uint8_t> bytes = env_.read_file(kPath);
  for (const WalFrame& fr : single) {
    EXPECT_TRUE(std::equal(fr.image.begin(), fr.image.end(), bytes.begin() + fr.page * PAGE_SIZE)) << fr.page;
  }

  std::vector<WalFrame> too_big = {{20, std::vector<uint8_t>(7 * PAGE_SIZE)}, {0, image(4)}};
  EXPECT_EQ(wal::commit(*f, 1, 8, 4, too_big).error().message(),
            "invalid argument: transaction needs 65797 WAL bytes but the region holds 65536");
}

TEST_F(WalTest, RecoverReturnsOnlyANewerTransaction) {
  commit_txn(5, frames(3, 1));
  expect_same(*recover(4), frames(3, 1));
  EXPECT_FALSE(recover(5)->has_value()) << "already applied";
  EXPECT_FALSE(recover(6)->has_value());
  EXPECT_FALSE(recover(0, 0)->has_value()) << "no region";
}

TEST_F(WalTest, DamagedLogsYieldNothing) {
  const size_t base = PAGE_SIZE;
  const size_t commit_at = base + 3 * wal::FRAME_RECORD;
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> change;
  } cases[] = {
      {"commit crc", [&](auto& b) { b[commit_at + 25] ^= 1; }},
      {"commit magic", [&](auto& b) { b[commit_at] = 'X'; }},
      {"commit of another txn", [&](auto& b) { b[commit_at + 5] ^= 1; }},
      {"last frame cut short", [&](auto& b) { b.resize(commit_at - 100); }},
      {"frame image", [&](auto& b) { b[base + wal::FRAME_RECORD + 29 + 4000] ^= 1; }},
      {"frame crc", [&](auto& b) { b[base + 25] ^= 1; }},
      {"frame of another txn", [&](auto& b) { b[base + wal::FRAME_RECORD + 5] ^= 1; }},
      {"unknown kind", [&](auto& b) { b[base + wal::FRAME_RECORD + 4] = 3; }},
      {"frame length beyond the region", [&](auto& b) { store_le<uint32_t>(b.data() + base + 21, 9 * PAGE_SIZE); }},
  };
  for (const Case& c : cases) {
    env_.write_file(kPath, std::vector<uint8_t>(PAGE_SIZE, 0));
    commit_txn(5, frames(3, 1));
    ASSERT_TRUE(recover(0)->has_value()) << c.what;
    edit(c.change);
    auto r = recover(0);
    ASSERT_TRUE(r) << c.what;
    EXPECT_FALSE(*r) << c.what;
  }
}

TEST_F(WalTest, TransactionWithoutFramesYieldsNothing) {
  commit_txn(5, {});
  EXPECT_FALSE(recover(0)->has_value());
}

TEST_F(WalTest, StaleRecordsAfterTheCommitAreNeverRead) {
  commit_txn(5, frames(3, 1));
  commit_txn(6, frames(1, 9));
  expect_same(*recover(0), frames(1, 9));
  EXPECT_FALSE(recover(6)->has_value()) << "the older transaction behind it is not a fallback";
}

TEST_F(WalTest, FileEndingInsideTheRegionRecoversNothing) {
  auto r = recover(0);
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  edit([](auto& b) { b.resize(PAGE_SIZE + 20); });
  EXPECT_FALSE(recover(0)->has_value());
  // A huge region whose first frame claims a 4 GiB image that the file does not hold.
  commit_txn(5, frames(1, 1));
  edit([](auto& b) { store_le<uint32_t>(b.data() + PAGE_SIZE + 21, 0xFFFFFFFFu); });
  EXPECT_FALSE(recover(0, uint64_t{1} << 20)->has_value());
}

TEST_F(WalTest, CheckpointWritesEveryImageHome) {
  std::vector<WalFrame> fs = {{3, image(1)}, {0, image(2)}};
  auto f = open_file(env_);
  ASSERT_TRUE(wal::checkpoint(*f, fs));
  env_.crash(CrashMode::Drop);  // synced: survives power loss
  std::vector<uint8_t> bytes = env_.read_file(kPath);
  ASSERT_EQ(bytes.size(), 4 * PAGE_SIZE);
  EXPECT_TRUE(std::equal(fs[0].image.begin(), fs[0].image.end(), bytes.begin() + 3 * PAGE_SIZE));
  EXPECT_TRUE(std::equal(fs[1].image.begin(), fs[1].image.end(), bytes.begin()));
}

TEST_F(WalTest, ScanFindsTheNewestCompleteTransaction) {
  auto scan = [&] { return wal::scan_newest(*open_file(env_)); };
  commit_txn(3, frames(2, 1));      // the original region, pages 1..
  commit_txn(7, frames(1, 5), 20);  // a region moved to page 20
  auto found = scan();
  ASSERT_TRUE(found && *found);
  EXPECT_EQ((*found)->txn_id, 7u);
  expect_same((*found)->frames, frames(1, 5));

  edit([](auto& b) { b[20 * PAGE_SIZE + wal::FRAME_RECORD + 25] ^= 1; });  // txn 7 loses its commit
  found = scan();
  ASSERT_TRUE(found && *found);
  EXPECT_EQ((*found)->txn_id, 3u);

  edit([](auto& b) { b[PAGE_SIZE + 30] ^= 1; });
  found = scan();
  ASSERT_TRUE(found);
  EXPECT_FALSE(*found);
}

TEST(WalGrowth, RegionSizes) {
  struct Case {
    uint64_t pages, current;
    std::optional<uint64_t> grown;
  } cases[] = {
      {0, 8, std::nullopt},  // 8250 bytes
      {6, 8, std::nullopt},  // 7 frames + commit = 57576 bytes: fits
      {7, 8, 17},            // 65797 bytes: need 9, grow 13, +4
      {0, 1, 8},             // 8250 bytes: need 2, grow 3 -> 4, +4
      {1, 2, 8},             // 16471 bytes: need 3, grow 4, +4
      {2, 3, 10},            // 24692 bytes: need 4, grow 6, +4
      {100, 8, 157},         // 830350 bytes: need 102, grow 153, +4
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wal::grown_region_pages(c.pages, c.current), c.grown) << c.pages << " pages in " << c.current;
  }
}

TEST(WalIo, WriteAndSyncErrorsOnARealFile) {
  std::filesystem::path path = std::filesystem::temp_directory_path() / ("ormel_wal_" + std::to_string(getpid()));
  for (uint64_t failing : {1, 2}) {  // the log write, then the sync
    testing::FaultEnv env(posix_env());
    auto f = env.open_locked(path.string(), {.write = true, .create = true});
    ASSERT_TRUE(f);
    env.fail_at(failing, testing::FailMode::Once);
    auto r = wal::commit(**f, 1, 8, 1, frames(2, 1));
    ASSERT_FALSE(r) << failing;
    EXPECT_EQ(r.error().message(), "io error: injected fault");
    EXPECT_EQ(env.calls(), failing) << "commit stops at the first error";
    ASSERT_TRUE(wal::commit(**f, 1, 8, 1, frames(2, 1)));
    expect_same(*wal::recover(**f, 1, 8, 0), frames(2, 1));
  }
  std::filesystem::remove(path);
}

// A commit and checkpoint of transaction 2 over a file whose header says transaction 1 is
// applied and whose region still holds transaction 1's records. The power goes out at every
// write and sync in turn, in each crash mode; the survivor is then opened the way the store
// opens a file (parse the header, recover, replay, sync). The pages the transaction touches
// must be exactly the old or exactly the new state, and the new state once commit returned.
class WalCrashTest : public ::testing::Test {
 protected:
  using State = std::vector<std::vector<uint8_t>>;
  static constexpr uint64_t kPages[] = {0, 9, 10, 12};

  void SetUp() override {
    dek_ = *random_key();
    MemEnv env;
    env.write_file(kPath, header_page(0, 9));
    auto f = open_file(env);
    std::vector<WalFrame> txn1 = {{9, image(1)}, {10, image(2)}, {11, image(3)}, {0, header_page(1, 12)}};
    ASSERT_TRUE(wal::commit(*f, 1, 8, 1, txn1));
    ASSERT_TRUE(wal::checkpoint(*f, txn1));
    f.reset();
    base_ = env.read_file(kPath);
    txn2_ = {{9, image(4)}, {10, image(5)}, {12, image(6)}, {0, header_page(2, 13)}};
    old_ = state_of(base_);
    for (uint64_t page : kPages) {
      for (const WalFrame& fr : txn2_) {
        if (fr.page == page) new_.push_back(fr.image);
      }
    }
  }

  std::vector<uint8_t> header_page(uint64_t txn, uint64_t page_count) {
    Header h;
    h.wal_start = 1;
    h.wal_pages = 8;
    h.txn_id = txn;
    h.page_count = page_count;
    auto page = seal_header(h, dek_);
    EXPECT_TRUE(page);
    return {page->begin(), page->end()};
  }

  static State state_of(const std::vector<uint8_t>& bytes) {
    State s;
    for (uint64_t page : kPages) {
      std::vector<uint8_t> img(PAGE_SIZE, 0);
      for (size_t i = 0; i < PAGE_SIZE && page * PAGE_SIZE + i < bytes.size(); ++i) img[i] = bytes[page * PAGE_SIZE + i];
      s.push_back(std::move(img));
    }
    return s;
  }

  // Recovery as at a read-write open; true when a transaction was replayed.
  static Result<bool> open_and_recover(MemEnv& env) {
    ORMEL_ASSIGN(std::unique_ptr<File> f, env.open_locked(kPath, {.write = true}));
    Page page0;
    ORMEL_TRY(read_exact(*f, 0, page0));
    std::optional<std::vector<WalFrame>> replay;
    auto h = from_page(page0);
    if (h) {
      ORMEL_ASSIGN(replay, wal::recover(*f, h->wal_start, h->wal_pages, h->txn_id));
    } else {
      if (h.error().kind() != ErrorKind::HeaderChecksum) return fail(h.error());
      ORMEL_ASSIGN(std::optional<wal::FoundTxn> found, wal::scan_newest(*f));
      if (found) replay = std::move(found->frames);
    }
    if (!replay) return false;
    for (const WalFrame& fr : *replay) ORMEL_TRY(f->write_at(fr.page * PAGE_SIZE, fr.image));
    ORMEL_TRY(f->sync());
    return true;
  }

  // Old or new, never a mix; and the header is intact and authentic.
  void expect_consistent(MemEnv& env, bool must_be_new, const std::string& where) {
    std::vector<uint8_t> bytes = env.read_file(kPath);
    State s = state_of(bytes);
    bool is_new = s == new_;
    ASSERT_TRUE(is_new || s == old_) << where << ": a mix of old and new pages";
    if (must_be_new) ASSERT_TRUE(is_new) << where << ": a committed transaction was lost";
    auto h = from_page(std::span<const uint8_t, PAGE_SIZE>(bytes.data(), PAGE_SIZE));
    ASSERT_TRUE(h) << where;
    EXPECT_TRUE(validate_seal(*h, dek_)) << where;
    EXPECT_EQ(h->txn_id, is_new ? 2u : 1u) << where;
  }

  SecretKey dek_;
  std::vector<uint8_t> base_;
  std::vector<WalFrame> txn2_;
  State old_, new_;
};

TEST_F(WalCrashTest, EveryCrashPointLeavesOldOrNewState) {
  uint64_t calls;
  {
    MemEnv env;
    env.write_file(kPath, base_);
    auto f = open_file(env);
    ASSERT_TRUE(wal::commit(*f, 1, 8, 2, txn2_));
    ASSERT_TRUE(wal::checkpoint(*f, txn2_));
    calls = env.mutating_calls();
  }
  ASSERT_EQ(calls, 7u);  // commit: write, sync; checkpoint: 4 writes, sync

  size_t replays = 0;
  for (uint64_t k = 1; k <= calls + 1; ++k) {
    for (CrashMode mode : kModes) {
      std::string where = "crash at call " + std::to_string(k) + " " + testing::crash_mode_name(mode);
      MemEnv env;
      env.write_file(kPath, base_);
      env.crash_at(k, mode);
      bool committed = false;
      {
        auto f = open_file(env);
        committed = wal::commit(*f, 1, 8, 2, txn2_).has_value();
        if (committed) (void)wal::checkpoint(*f, txn2_);
      }
      env.power_loss();
      std::vector<uint8_t> survivor = env.read_file(kPath);

      auto replayed = open_and_recover(env);
      ASSERT_TRUE(replayed) << where << ": " << replayed.error().message();
      expect_consistent(env, committed || k > calls, where);
      replays += *replayed;
      auto again = open_and_recover(env);
      ASSERT_TRUE(again) << where;
      EXPECT_FALSE(*again) << where << ": the replayed transaction was offered again";

      if (!*replayed) continue;
      // The replay itself loses power at each of its writes and syncs; the next open finishes it.
      for (uint64_t j = 1; j <= txn2_.size() + 1; ++j) {
        for (CrashMode mode2 : kModes) {
          std::string where2 = where + ", replay crash at " + std::to_string(j) + " " + testing::crash_mode_name(mode2);
          MemEnv env2;
          env2.write_file(kPath, survivor);
          env2.crash_at(j, mode2);
          (void)open_and_recover(env2);
          env2.power_loss();
          ASSERT_TRUE(open_and_recover(env2)) << where2;
          expect_consistent(env2, true, where2);
        }
      }
    }
  }
  EXPECT_GT(replays, 0u) << "no crash point exercised the replay";
}

TEST_F(WalCrashTest, TornHeaderIsRestoredFromTheNewestTransaction) {
  MemEnv env;
  env.write_file(kPath, base_);
  {
    auto f = open_file(env);
    ASSERT_TRUE(wal::commit(*f, 1, 8, 2, txn2_));
  }
  std::vector<uint8_t> bytes = env.read_file(kPath);
  for (size_t i = 100; i < 200; ++i) bytes[i] ^= 0xFF;  // page 0 torn before the checkpoint
  env.write_file(kPath, bytes);
  auto replayed = open_and_recover(env);
  ASSERT_TRUE(replayed);
  EXPECT_TRUE(*replayed);
  expect_consistent(env, true, "torn header");
}

}  // namespace
}  // namespace ormel
