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
//   Without `lock` (read-only only) no lock is taken and none held elsewhere is in the way.
//   With `exclusive` as well, the file must not exist yet: an existing one is left as it
//   is and the call fails with the Io error of EEXIST.
//   The lock is taken on the file the path names when the call returns: a file that was
//   renamed over or removed while the call waited is not the path's file, so the call
//   opens the path again.
// - Env::rename atomically replaces `to` with `from` (both in one directory); open Files
//   keep the file they opened, and their locks. Env::remove unlinks a path.
// - Env::resolve gives the path of the file a path names, symbolic links followed (the
//   place where a file replacing it must be renamed to).
// - File::info and Env::info tell which file that is (device and inode) and who may use it
//   (permission bits, owner, group); Env::info follows symbolic links. Two FileInfos of the
//   same file are same_file whatever path or handle gave them.
// - File::copy_access gives the file another's permission bits, and its owner and group
//   as far as the process may set them: a refusal to change those two is not an error.
// - Env::discard removes the directory entry a path names, never following it: a symbolic
//   link is removed, not its target. Nothing there is false; a directory is an Io error.
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

// What a file is and who may use it.
struct FileInfo {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint32_t mode = 0;  // permission bits, 07777 at most
  uint32_t owner = 0;
  uint32_t group = 0;
  bool same_file(const FileInfo& other) const { return device == other.device && inode == other.inode; }
};

class File {
 public:
  virtual ~File() = default;
  virtual Result<size_t> read_at(uint64_t offset, std::span<uint8_t> buf) = 0;
  virtual Status write_at(uint64_t offset, std::span<const uint8_t> data) = 0;
  virtual Status write_uncached(uint64_t offset, std::span<const uint8_t> data) { return write_at(offset, data); }
  virtual Status sync() = 0;
  virtual Result<uint64_t> size() = 0;
  virtual Result<FileInfo> info() = 0;
  virtual Status copy_access(const FileInfo& like) = 0;
};

struct OpenMode {
  bool write = false;
  bool create = false;
  bool exclusive = false;  // with create: fail instead of opening an existing file
  bool lock = true;        // false: no advisory lock at all (a reader that follows a writer)
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
  virtual Result<FileInfo> info(const std::string& path) = 0;
  virtual Result<bool> discard(const std::string& path) = 0;
};

// The process-wide POSIX environment.
Env* posix_env();

// Reads exactly buf.size() bytes at `offset`; an early end of file is the Io error
// "failed to fill whole buffer".
Status read_exact(File& file, uint64_t offset, std::span<uint8_t> buf);

}  // namespace ormel
