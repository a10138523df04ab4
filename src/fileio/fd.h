// An open file descriptor owned by one scope: closed on every path out of it.
#pragma once

#include <unistd.h>

namespace fileio {

class Fd {
public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes and reports the close's own result: some file systems (NFS,
  // quotas) report a failed write only there.
  bool closeChecked() {
    const int fd = release();
    return fd < 0 || close(fd) == 0;
  }

private:
  int fd_ = -1;
};

} // namespace fileio
