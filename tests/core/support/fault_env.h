// File environments for tests.
//
// MemEnv: an in-memory file system with power-loss semantics. Each file has durable bytes
// and the writes made since its last sync (pending). A crash keeps, drops, or tears the
// pending writes of every file:
//   Keep: every pending write lands;
//   Drop: none lands;
//   Torn: every pending write but the last lands, and the last lands only its first half.
// crash_at(n, mode) makes the nth mutating call (write_at or sync, counted across all files)
// the crash point: calls 1..n-1 succeed; at call n the power goes out (a write at that
// point lands only in Torn mode, and then only its first half), and from then on every call
// fails with Io "simulated crash" until power_loss() brings up the surviving file system.
// Advisory locks are emulated per file (exclusive for write handles, shared otherwise),
// never waited for; handles open at a crash die and lose their locks.
// Names and files are separate, as in a POSIX directory: a handle keeps its file across a
// rename over its path or a remove. Creating a file is durable at once; rename and remove
// are pending until sync_dir, and a crash keeps them (Keep, Torn: a rename never tears) or
// drops them (Drop). rename, remove and sync_dir count as mutating calls; at the crash
// point the call does not happen.
//
// FaultEnv: wraps another Env (e.g. posix_env()) and only injects errors.
//
// Files of MemEnv have an identity (inode: a number per file) and permission bits (0644 at
// creation) that copy_access copies, owner and group included.
//
// Both count file calls and can fail the nth one (read_at, write_at, sync, size, info or
// copy_access, and the directory calls rename, remove, discard and sync_dir) with Io
// "injected fault", once or from then on, without crashing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/file.h"
#include "tests/core/support/forwarding_env.h"

namespace ormel::testing {

enum class CrashMode { Keep, Drop, Torn };
enum class FailMode { Once, Forever };

inline const char* crash_mode_name(CrashMode m) {
  return m == CrashMode::Keep ? "Keep" : m == CrashMode::Drop ? "Drop" : "Torn";
}

// Counts file calls and decides which one fails.
class FaultPlan {
 public:
  void fail_at(uint64_t n, FailMode mode);
  // Called once per file call: the injected error, or success.
  Status on_call();
  uint64_t calls() const { return calls_; }

 private:
  uint64_t calls_ = 0;
  uint64_t fail_at_ = 0;  // 0: no fault planned
  FailMode mode_ = FailMode::Once;
};

class MemFile;

class MemEnv : public Env {
 public:
  bool exists(const std::string& path) override;
  Result<std::unique_ptr<File>> open_locked(const std::string& path, OpenMode mode) override;
  Status rename(const std::string& from, const std::string& to) override;
  Status remove(const std::string& path) override;
  Status sync_dir(const std::string& path) override;
  Result<std::string> resolve(const std::string& path) override { return path; }  // no links here
  Result<FileInfo> info(const std::string& path) override;
  Result<bool> discard(const std::string& path) override;  // counted and crashing as remove

  // The paths that exist now, in order.
  std::vector<std::string> paths() const;
  // What a reader sees now (durable bytes with the pending writes applied).
  std::vector<uint8_t> read_file(const std::string& path) const;
  // Replaces a file's contents durably; its pending writes are forgotten.
  void write_file(const std::string& path, std::vector<uint8_t> bytes);

  // Power loss now: pending writes land according to `mode`; open handles die.
  void crash(CrashMode mode);
  void crash_at(uint64_t n, CrashMode mode);
  bool crashed() const { return crashed_; }
  // After crash_at: the surviving file system, usable again. If the crash point was never
  // reached, the power goes out now with the planned mode.
  void power_loss();
  void fail_at(uint64_t n, FailMode mode) { faults_.fail_at(n, mode); }

  uint64_t mutating_calls() const { return mutating_calls_; }  // write_at, sync, directory calls
  uint64_t calls() const { return faults_.calls(); }            // every File call

 private:
  friend class MemFile;
  struct FileState {
    std::vector<uint8_t> durable;
    std::vector<uint8_t> current;
    FileInfo access{0, 0, 0644, 0, 0};  // device and inode are filled in by info
  };
  using FileId = uint64_t;
  struct PendingWrite {
    FileId file;
    uint64_t offset;
    std::vector<uint8_t> data;
  };
  struct LockState {
    uint32_t shared = 0;
    bool exclusive = false;
  };

  Status begin_call(const MemFile* f, bool mutating);
  // The crash point check of a directory call: true when the power went out at this call.
  bool crashes_now();
  Result<size_t> read(const MemFile& f, uint64_t offset, std::span<uint8_t> buf);
  Status write(const MemFile& f, uint64_t offset, std::span<const uint8_t> data);
  Status sync(const MemFile& f);
  Result<uint64_t> size(const MemFile& f);
  Result<FileInfo> info(const MemFile& f);
  Status copy_access(const MemFile& f, const FileInfo& like);
  FileInfo info_of(FileId file);
  void release(const MemFile& f);
  void record_write(FileId file, uint64_t offset, std::span<const uint8_t> data);

  std::map<FileId, FileState> files_;
  std::map<std::string, FileId> names_;          // the directory as readers see it now
  std::map<std::string, FileId> durable_names_;  // the directory a Drop crash goes back to
  FileId next_file_ = 1;
  std::vector<PendingWrite> pending_;  // unsynced writes of every file, oldest first
  std::map<FileId, LockState> locks_;
  FaultPlan faults_;
  uint64_t mutating_calls_ = 0;
  uint64_t crash_at_ = 0;  // 0: no crash planned
  CrashMode crash_mode_ = CrashMode::Drop;
  bool crashed_ = false;
  uint64_t epoch_ = 0;  // advances at every crash; handles of older epochs are dead
};

class FaultEnv : public ForwardingEnv {
 public:
  explicit FaultEnv(Env* base) : ForwardingEnv(base) {}
  Status rename(const std::string& from, const std::string& to) override;
  Status remove(const std::string& path) override;
  Status sync_dir(const std::string& path) override;
  Result<bool> discard(const std::string& path) override;
  void fail_at(uint64_t n, FailMode mode) { faults_.fail_at(n, mode); }
  uint64_t calls() const { return faults_.calls(); }

 protected:
  std::unique_ptr<File> wrap(std::unique_ptr<File> file) override;

 private:
  FaultPlan faults_;
};

}  // namespace ormel::testing
