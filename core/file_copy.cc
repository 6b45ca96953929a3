// export: a byte-for-byte copy of the database file, cloned where the file system can.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

std::expected<void, std::string> copy_file_contents(const std::string& src, const std::string& dest) {
  Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return sys_error();
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return sys_error();
  Fd out(::open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777));
  if (out.get() < 0) return sys_error();
  if (::fchmod(out.get(), st.st_mode & 07777) != 0) return sys_error();

  // A copy-on-write clone shares the data blocks; otherwise copy in the kernel.
  if (::ioctl(out.get(), FICLONE, in.get()) == 0) return {};
  off_t remaining = st.st_size;
  while (remaining > 0) {
    ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, static_cast<size_t>(remaining), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Some file-system pairs refuse an in-kernel copy: fall back to reading and writing.
      if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) return copy_by_hand(in.get(), out.get());
      return sys_error();
    }
    if (n == 0) return std::unexpected(std::string("source file ended early"));
    remaining -= n;
  }
  return {};
}

}  // namespace ormel
