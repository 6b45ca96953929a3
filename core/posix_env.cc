// POSIX implementation of the file interface: pread/pwrite with retries, fdatasync (what
// a reader needs of a file: its bytes and its size; timestamps are left to the kernel),
// fsync of directories, flock, fstat/fchmod/fchown for a file's identity and access.
//
// Large aligned uncached writes bypass the kernel's page cache (O_DIRECT): a commit's runs
// are megabytes written at the end of a growing file and rarely read again, and copying
// them into freshly allocated cache pages costs as much as the device write that sync()
// must wait for anyway, more when memory is short. Other writes stay cached, so a record
// written is still in the system's cache when the file is opened again. Durability is
// unchanged: nothing is durable before sync(), which covers direct writes too. A file
// system that refuses direct writes gets buffered ones.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "core/file.h"

namespace ormel {
namespace {

FileInfo info_of(const struct stat& st) {
  return FileInfo{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                  static_cast<uint32_t>(st.st_mode & 07777), static_cast<uint32_t>(st.st_uid),
                  static_cast<uint32_t>(st.st_gid)};
}

// `sync` is ::fsync or ::fdatasync, retried when a signal interrupts it.
Status sync_fd(int fd, int (*sync)(int)) {
  while (sync(fd) != 0) {
    if (errno != EINTR) return fail(OrmelError::io_errno(errno));
  }
  return {};
}

// Direct (uncached) writes: at least kDirectMinimum bytes, offset and length multiples of
// kDirectAlign, from memory aligned to it (copied there through a buffer of at most
// kBounceBytes when the caller's is not).
constexpr size_t kDirectMinimum = 256 << 10;
constexpr size_t kDirectAlign = 4096;
constexpr size_t kBounceBytes = 4 << 20;

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }  // closing the descriptor releases the flock

  Result<size_t> read_at(uint64_t offset, std::span<uint8_t> buf) override {
    size_t done = 0;
    while (done < buf.size()) {
      ssize_t n = ::pread(fd_, buf.data() + done, buf.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(OrmelError::io_errno(errno));
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }

  Status write_at(uint64_t offset, std::span<const uint8_t> data) override { return write_all(offset, data); }

  Status write_uncached(uint64_t offset, std::span<const uint8_t> data) override {
    if (direct_ok_ && data.size() >= kDirectMinimum && offset % kDirectAlign == 0 && data.size() % kDirectAlign == 0) {
      if (std::optional<Status> written = write_direct(offset, data)) return *written;
    }
    return write_all(offset, data);
  }

  Status sync() override { return sync_fd(fd_, ::fdatasync); }

  Result<uint64_t> size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return fail(OrmelError::io_errno(errno));
    return static_cast<uint64_t>(st.st_size);
  }

  Result<FileInfo> info() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return fail(OrmelError::io_errno(errno));
    return info_of(st);
  }

  Status copy_access(const FileInfo& like) override {
    ORMEL_ASSIGN(const FileInfo now, info());
    // Owner and group first: changing them may clear the set-id bits that fchmod then sets.
    if (now.owner != like.owner || now.group != like.group) {
      if (::fchown(fd_, like.owner, like.group) != 0) {
        if (errno != EPERM) return fail(OrmelError::io_errno(errno));
        // Not allowed to give the file away; a group the process belongs to it may still set.
        if (::fchown(fd_, static_cast<uid_t>(-1), like.group) != 0 && errno != EPERM) {
          return fail(OrmelError::io_errno(errno));
        }
      }
    }
    if (::fchmod(fd_, static_cast<mode_t>(like.mode)) != 0) return fail(OrmelError::io_errno(errno));
    return {};
  }

 private:
  struct FreeAligned {
    void operator()(uint8_t* p) const { std::free(p); }
  };

  Status write_all(uint64_t offset, std::span<const uint8_t> data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(OrmelError::io_errno(errno));
      }
      if (n == 0) return fail(OrmelError::io("failed to write whole buffer"));
      done += static_cast<size_t>(n);
    }
    return {};
  }

  // The write through O_DIRECT, or nullopt (nothing written) when the file system or the
  // memory refuses it; from then on this file writes through the cache.
  std::optional<Status> write_direct(uint64_t offset, std::span<const uint8_t> data) {
    const bool aligned = reinterpret_cast<uintptr_t>(data.data()) % kDirectAlign == 0;
    if (!aligned && !bounce_) {
      bounce_.reset(static_cast<uint8_t*>(std::aligned_alloc(kDirectAlign, kBounceBytes)));
      if (!bounce_) return std::nullopt;
    }
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_DIRECT) != 0) {
      direct_ok_ = false;
      return std::nullopt;
    }
    Status written;
    for (size_t done = 0; done < data.size() && written;) {
      const size_t piece = aligned ? data.size() - done : std::min(kBounceBytes, data.size() - done);
      std::span<const uint8_t> from = data.subspan(done, piece);
      if (!aligned) {
        std::memcpy(bounce_.get(), from.data(), piece);
        from = std::span<const uint8_t>(bounce_.get(), piece);
      }
      ssize_t n = ::pwrite(fd_, from.data(), from.size(), static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EINVAL && done == 0) {
        // Refused before anything was written: this file system takes no direct writes.
        direct_ok_ = false;
        break;
      }
      if (n < 0) {
        written = fail(OrmelError::io_errno(errno));
      } else if (n == 0) {
        written = fail(OrmelError::io("failed to write whole buffer"));
      } else if (static_cast<size_t>(n) % kDirectAlign != 0) {
        // A short write that leaves the rest unaligned: finish it through the cache.
        done += static_cast<size_t>(n);
        ::fcntl(fd_, F_SETFL, flags);
        return write_all(offset + done, data.subspan(done));
      } else {
        done += static_cast<size_t>(n);
      }
    }
    if (::fcntl(fd_, F_SETFL, flags) != 0) return fail(OrmelError::io_errno(errno));
    if (!direct_ok_) return std::nullopt;
    return written;
  }

  int fd_;
  bool direct_ok_ = true;
  std::unique_ptr<uint8_t, FreeAligned> bounce_;
};

class PosixEnv final : public Env {
 public:
  bool exists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }

  Result<std::unique_ptr<File>> open_locked(const std::string& path, OpenMode mode) override {
    // A compaction renames a new file over the path while holding both locks; a lock won on
    // the replaced file afterwards guards nothing, so such a win opens the path again (never
    // when creating: that open would truncate the file renamed in).
    for (int attempt = 0; attempt < kMaxReopens; ++attempt) {
      ORMEL_ASSIGN(int fd, open_and_lock(path, mode));
      if (still_named(fd, path)) return std::unique_ptr<File>(new PosixFile(fd));
      ::close(fd);
      if (mode.create) break;
    }
    return fail(OrmelError::locked(path));
  }

  Status rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return fail(OrmelError::io_errno(errno));
    return {};
  }

  Status remove(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return fail(OrmelError::io_errno(errno));
    return {};
  }

  Result<std::string> resolve(const std::string& path) override {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return fail(OrmelError::io_errno(errno));
    std::string out(real);
    std::free(real);
    return out;
  }

  Result<FileInfo> info(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return fail(OrmelError::io_errno(errno));
    return info_of(st);
  }

  Result<bool> discard(const std::string& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return false;
      return fail(OrmelError::io_errno(errno));
    }
    if (S_ISDIR(st.st_mode)) return fail(OrmelError::io_errno(EISDIR));
    if (::unlink(path.c_str()) != 0) {
      if (errno == ENOENT) return false;
      return fail(OrmelError::io_errno(errno));
    }
    return true;
  }

  Status sync_dir(const std::string& path) override {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd;
    do {
      fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(OrmelError::io_errno(errno));
    Status synced = sync_fd(fd, ::fsync);
    ::close(fd);
    return synced;
  }

 private:
  static constexpr int kMaxReopens = 8;

  static Result<int> open_and_lock(const std::string& path, OpenMode mode) {
    int flags = (mode.write ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    if (mode.create) flags |= O_CREAT | (mode.exclusive ? O_EXCL : O_TRUNC);
    int fd;
    do {
      fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(OrmelError::io_errno(errno));
    if (!mode.lock && !mode.write) return fd;
    int op = (mode.write ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int rc;
    do {
      rc = ::flock(fd, op);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      int err = errno;
      ::close(fd);
      if (err == EWOULDBLOCK) return fail(OrmelError::locked(path));
      return fail(OrmelError::io_errno(err));
    }
    return fd;
  }

  // Whether the path still names the file open on `fd`.
  static bool still_named(int fd, const std::string& path) {
    struct stat opened, named;
    if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
  }
};

}  // namespace

Env* posix_env() {
  static PosixEnv env;
  return &env;
}

Status read_exact(File& file, uint64_t offset, std::span<uint8_t> buf) {
  ORMEL_ASSIGN(size_t n, file.read_at(offset, buf));
  if (n != buf.size()) return fail(OrmelError::io("failed to fill whole buffer"));
  return {};
}

}  // namespace ormel
