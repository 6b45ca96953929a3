// export: a byte-for-byte copy of the database file, cloned where the file system can,
// written beside the destination and renamed over it once complete and durable.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/store.h"

namespace ormel {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::unexpected<std::string> sys_error() { return std::unexpected(std::string(std::strerror(errno))); }

// Copies whatever is left of `in` from its current offset to `out`.
std::expected<void, std::string> copy_by_hand(int in, int out) {
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return sys_error();
    }
    if (n == 0) return {};
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return sys_error();
      }
      done += w;
    }
  }
}

// Copies all of `in` (of `size` bytes) into `out`, which is empty.
std::expected<void, std::string> copy_all(int in, int out, off_t size) {
  // A copy-on-write clone shares the data blocks; otherwise copy in the kernel.
  if (::ioctl(out, FICLONE, in) == 0) return {};
  off_t remaining = size;
  while (remaining > 0) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(remaining), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Some file-system pairs refuse an in-kernel copy: fall back to reading and writing.
      if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) return copy_by_hand(in, out);
      return sys_error();
    }
    if (n == 0) return std::unexpected(std::string("source file ended early"));
    remaining -= n;
  }
  return {};
}

// The name the copy finally takes: a symbolic link's target, so the link keeps pointing at
// the copy instead of being replaced by it.
std::string final_name(const std::string& dest) {
  struct stat st;
  if (::lstat(dest.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return dest;
  char* resolved = ::realpath(dest.c_str(), nullptr);
  if (resolved == nullptr) return dest;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a rename in `dir` durable.
std::expected<void, std::string> sync_directory(const std::string& dir) {
  Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.get() < 0) return sys_error();
  while (::fsync(d.get()) != 0) {
    if (errno != EINTR) return sys_error();
  }
  return {};
}

}  // namespace

std::expected<void, std::string> copy_file_contents(const std::string& src, const std::string& dest) {
  Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return sys_error();
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return sys_error();
  // Copying a file onto itself would destroy it; any name of it (a link, another path) counts.
  struct stat existing;
  if (::stat(dest.c_str(), &existing) == 0 && existing.st_dev == st.st_dev && existing.st_ino == st.st_ino) {
    return std::unexpected(std::string("the destination is the database file itself"));
  }

  // The destination is replaced only once a complete copy is durable beside it.
  const std::string target = final_name(dest);
  std::string temp = target + ".XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) return sys_error();
  auto copied = [&]() -> std::expected<void, std::string> {
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) return sys_error();
    if (auto done = copy_all(in.get(), out.get(), st.st_size); !done) return done;
    while (::fsync(out.get()) != 0) {
      if (errno != EINTR) return sys_error();
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) return sys_error();
    return {};
  }();
  if (!copied) {
    ::unlink(temp.c_str());
    return copied;
  }
  return sync_directory(directory_of(target));
}

}  // namespace ormel
