// Compaction and the path: a path renamed over or removed since the open is refused and
// left alone; whatever lies at <path>.compacting (a link to another file, a dangling link,
// a directory, a leftover copy) is never written through; the compacted file keeps the
// database's mode, owner and group; an automatic compaction that fails says why in space()
// while its flush stays committed. Real files where links and permissions matter.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

namespace fs = std::filesystem;
using testing::kDbPath;
using testing::MemEnv;
using testing::must_open;
using testing::sample_memory;

const std::string kTempPath = std::string(kDbPath) + ".compacting";

// Compacts after every flush that leaves anything to give back.
constexpr AutoCompactPolicy kEager{0, 0.0};

Status remember_and_delete(Ormel& db, uint32_t from, uint32_t to) {
  for (uint32_t i = from; i < to; ++i) ORMEL_TRY(db.remember(sample_memory(i)));
  ORMEL_TRY(db.flush());
  for (uint32_t i = from; i < to; i += 2) ORMEL_TRY(db.delete_memory(sample_memory(i).id));
  return db.flush();
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A private directory under the system's temporary one, removed at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "ormel-compact-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(dir_); }
  fs::path operator/(const std::string& name) const { return dir_ / name; }

 private:
  fs::path dir_;
};

std::unique_ptr<Ormel> open_file(const fs::path& path) { return must_open(*posix_env(), false, path.string()); }

// A backup renamed over the path, or the path removed: compact() by hand and the automatic
// one refuse with the path named, touch nothing there, and the flush stays committed.
// A passphrase change leaves the new database's <path>.compacting alone too.
TEST(CompactPath, APathThatNoLongerNamesTheHandlesFileIsLeftAlone) {
  struct Case {
    const char* name;
    bool replaced;  // else removed
  };
  for (const Case& c : {Case{"backup renamed over the path", true}, Case{"path removed", false}}) {
    SCOPED_TRACE(c.name);
    MemEnv env;
    std::vector<uint8_t> backup;
    {
      auto db = must_open(env);
      ASSERT_TRUE(db && remember_and_delete(*db, 0, 6));
      backup = env.read_file(kDbPath);
    }
    auto db = must_open(env);
    ASSERT_TRUE(db && remember_and_delete(*db, 6, 12));
    if (c.replaced) {
      env.write_file("/backup.ormel", backup);
      ASSERT_TRUE(env.rename("/backup.ormel", kDbPath));
    } else {
      ASSERT_TRUE(env.remove(kDbPath));
    }
    const std::vector<uint8_t> there = env.read_file(kDbPath);
    const std::string want = std::string("io error: ") + kDbPath +
                             ": the path no longer names the file this handle opened (it was replaced, moved or "
                             "removed since); compaction refused, the path is left as it is";
    auto refused = db->compact();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), want);

    db->set_auto_compact(kEager);
    ASSERT_TRUE(db->remember(sample_memory(20)));
    ASSERT_TRUE(db->delete_memory(sample_memory(7).id));
    ASSERT_TRUE(db->flush());  // committed to the handle's file; its compaction is refused
    auto space = db->space();
    ASSERT_TRUE(space && space->auto_compact_failure);
    EXPECT_EQ(space->auto_compact_failure->message(), want);
    EXPECT_TRUE(db->get(sample_memory(20).id));
    EXPECT_EQ(env.read_file(kDbPath), there);
    EXPECT_FALSE(env.exists(kTempPath));

    // The name beside the path is the new database's now: a passphrase change of the
    // stale handle leaves what lies there (that database's own compaction) alone.
    env.write_file(kTempPath, there);
    ASSERT_TRUE(db->change_passphrase("another"));
    EXPECT_EQ(env.read_file(kTempPath), there);
  }
}

// What may lie at <path>.compacting. A link (to another file or to nothing) and a leftover
// file are removed, never written through: the link's target keeps its bytes. A directory
// stops the compaction with its path named, by hand and at every automatic attempt (space()
// says why), until it is gone.
TEST(CompactPath, WhatLiesAtTheNewFilesNameIsNeverWrittenThrough) {
  enum class Leftover { LinkToAFile, DanglingLink, LeftoverFile, Directory };
  struct Case {
    const char* name;
    Leftover leftover;
  };
  for (const Case& c : {Case{"link to an unrelated file", Leftover::LinkToAFile},
                        Case{"dangling link", Leftover::DanglingLink}, Case{"leftover file", Leftover::LeftoverFile},
                        Case{"directory", Leftover::Directory}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path db_path = dir / "agent.ormel";
    const fs::path temp = dir / "agent.ormel.compacting";
    const fs::path unrelated = dir / "notes.txt";
    std::ofstream(unrelated) << "not a database";
    auto db = open_file(db_path);
    ASSERT_TRUE(db && remember_and_delete(*db, 0, 12));
    switch (c.leftover) {
      case Leftover::LinkToAFile: fs::create_symlink(unrelated, temp); break;
      case Leftover::DanglingLink: fs::create_symlink(dir / "missing", temp); break;
      case Leftover::LeftoverFile: std::ofstream(temp) << "an old attempt"; break;
      case Leftover::Directory: fs::create_directory(temp); break;
    }

    auto done = db->compact();
    EXPECT_EQ(contents(unrelated), "not a database");
    EXPECT_FALSE(fs::exists(dir / "missing"));
    EXPECT_FALSE(fs::is_symlink(db_path));
    if (c.leftover != Leftover::Directory) {
      ASSERT_TRUE(done) << done.error().message();
      EXPECT_FALSE(fs::exists(fs::symlink_status(temp)));
      EXPECT_TRUE(db->get(sample_memory(1).id));
      continue;
    }
    const std::string want = "io error: " + temp.string() + ": Is a directory";
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().message(), want);
    db->set_auto_compact(kEager);
    for (uint32_t turn = 0; turn < 2; ++turn) {
      ASSERT_TRUE(remember_and_delete(*db, 20 + 4 * turn, 24 + 4 * turn));
      auto space = db->space();
      ASSERT_TRUE(space && space->auto_compact_failure);
      EXPECT_EQ(space->auto_compact_failure->message(), want);
    }
    fs::remove(temp);
    ASSERT_TRUE(remember_and_delete(*db, 40, 44));  // the next automatic attempt succeeds
    auto space = db->space();
    ASSERT_TRUE(space);
    EXPECT_FALSE(space->auto_compact_failure);
    EXPECT_EQ(space->reclaimable_bytes, 0u);
    db.reset();
    db = open_file(db_path);
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->get(sample_memory(41).id));
  }
}

// The compacted file keeps the database's permission bits, and its owner and group where
// the process may set them (a process that may not keeps its own, mode still copied).
TEST(CompactPath, TheCompactedFileKeepsModeOwnerAndGroup) {
  const bool may_give_away = ::geteuid() == 0;
  struct Case {
    mode_t mode;
    bool other_owner;
  };
  for (const Case& c : {Case{0600, false}, Case{0640, false}, Case{0604, true}, Case{0660, true}}) {
    if (c.other_owner && !may_give_away) continue;
    SCOPED_TRACE(std::to_string(c.mode) + (c.other_owner ? " owned by another user" : ""));
    TempDir dir;
    const fs::path db_path = dir / "agent.ormel";
    auto db = open_file(db_path);
    ASSERT_TRUE(db && remember_and_delete(*db, 0, 12));
    ASSERT_EQ(::chmod(db_path.c_str(), c.mode), 0);
    if (c.other_owner) ASSERT_EQ(::chown(db_path.c_str(), 4321, 8765), 0);
    struct stat before;
    ASSERT_EQ(::stat(db_path.c_str(), &before), 0);
    auto done = db->compact();
    ASSERT_TRUE(done) << done.error().message();
    ASSERT_GT(*done, 0u);
    struct stat after;
    ASSERT_EQ(::stat(db_path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);  // a new file
    EXPECT_EQ(after.st_mode & 07777, c.mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
  }
}

}  // namespace
}  // namespace ormel
