// The file interface: every byte the engine reads or writes goes through it.
//
// Contract:
// - File::read_at reads up to buf.size() bytes at `offset`, retrying interrupted and short
//   reads; it returns fewer bytes only at end of file.
// - File::write_at writes all of `data` at `offset`, retrying interrupted and short writes;
//   a write that makes no progress is an Io error.
// - File::write_uncached is write_at for bytes the process will rarely read back (a
//   commit's runs): an implementation may keep them out of the system's cache. By default
//   it is write_at.
// - File::sync makes everything written so far durable, the file's size included (POSIX:
//   fdatasync; timestamps need not be).
// - Env::open_locked opens (and with `create` creates or truncates, mode 0666 before the
//   umask) and takes the advisory lock without waiting: exclusive when `write`, shared
//   otherwise. A lock held elsewhere is Locked(path); the lock lives as long as the File.
//   With `exclusive` as well, the file must not exist yet: an existing one is left as it
//   is and the call fails with the Io error of EEXIST.
//   The lock is taken on the file the path names when the call returns: a file that was
//   renamed over or removed while the call waited is not the path's file, so the call
//   opens the path again.
// - Env::rename atomically replaces `to` with `from` (both in one directory); open Files
//   keep the file they opened, and their locks. Env::remove unlinks a path.
// - Env::resolve gives the path of the file a path names, symbolic links followed (the
//   place where a file replacing it must be renamed to).
// - Env::sync_dir makes the directory entries of the path's directory durable: a rename or
//   remove may be lost at a power failure until it has run.
// Production uses posix_env(); tests substitute wrappers that inject failures or simulate
// power loss.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/error.h"

namespace ormel {

class File {
 public:
  virtual ~File() = default;
  virtual Result<size_t> read_at(uint64_t offset, std::span<uint8_t> buf) = 0;
  virtual Status write_at(uint64_t offset, std::span<const uint8_t> data) = 0;
  virtual Status write_uncached(uint64_t offset, std::span<const uint8_t> data) { return write_at(offset, data); }
  virtual Status sync() = 0;
  virtual Result<uint64_t> size() = 0;
};

struct OpenMode {
  bool write = false;
  bool create = false;
  bool exclusive = false;  // with create: fail instead of opening an existing file
};

class Env {
 public:
  virtual ~Env() = default;
  // Whether the path's metadata can be read; any failure counts as "does not exist".
  virtual bool exists(const std::string& path) = 0;
  virtual Result<std::unique_ptr<File>> open_locked(const std::string& path, OpenMode mode) = 0;
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  virtual Status remove(const std::string& path) = 0;
  virtual Status sync_dir(const std::string& path) = 0;
  virtual Result<std::string> resolve(const std::string& path) = 0;
};

// The process-wide POSIX environment.
Env* posix_env();

// Reads exactly buf.size() bytes at `offset`; an early end of file is the Io error
// "failed to fill whole buffer".
Status read_exact(File& file, uint64_t offset, std::span<uint8_t> buf);

}  // namespace ormel
