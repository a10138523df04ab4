// An open file descriptor owned by one scope: closed on every path out of it.
#pragma once

#include <unistd.h>

namespace profile_trailer {

class FileHandle {
public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() { reset(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }
  // Closes and reports the close's own result: some file systems report a
  // failed write only there.
  bool close_checked() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

private:
  int fd_ = -1;
};

} // namespace profile_trailer
