#include "fileio/io.h"

#include "fileio/result.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace fileio {

namespace {

// Whether a failed call should be tried again, after waiting where the
// descriptor is non-blocking.
bool retry(int fd, short events) {
  if (errno == EINTR) {
    return true;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    return waitFor(fd, events);
  }
  return false;
}

} // namespace

bool waitFor(int fd, short events) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int ready = poll(&entry, 1, -1);
    if (ready > 0) {
      return true;
    }
    if (ready < 0 && errno != EINTR) {
      return false;
    }
  }
}

std::size_t readAt(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (retry(fd, POLLIN)) {
        continue;
      }
      break;
    }
    if (got == 0) {
      errno = 0; // end of file, not an error
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  return done;
}

long readSome(int fd, std::uint8_t* out, std::size_t size) {
  for (;;) {
    const ssize_t got = read(fd, out, size);
    if (got >= 0 || !retry(fd, POLLIN)) {
      return static_cast<long>(got);
    }
  }
}

namespace {

// Writes all `size` bytes of `data` through `write(from, count, done)`, which
// writes up to `count` bytes from `from`, `done` bytes into `data`; retries
// short writes, interrupted calls and a full non-blocking descriptor.
template <typename Write> bool writeFully(int fd, const std::uint8_t* data, std::size_t size, Write write) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = write(data + done, size - done, done);
    if (wrote < 0 && retry(fd, POLLOUT)) {
      continue;
    }
    if (wrote <= 0) {
      if (wrote == 0) {
        errno = EIO;
      }
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

} // namespace

bool writeAllAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  return writeFully(fd, data, size, [&](const std::uint8_t* from, std::size_t count, std::size_t done) {
    return pwrite(fd, from, count, static_cast<off_t>(offset + done));
  });
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  return writeFully(fd, data, size, [&](const std::uint8_t* from, std::size_t count, std::size_t) {
    return write(fd, from, count);
  });
}

std::string errorText(int error) {
  return error != 0 ? std::strerror(error) : "unexpected end of file";
}

Error systemError(const std::string& what, int code) {
  return Error{what + ": " + errorText(code), code};
}

namespace {

#if defined(__APPLE__)
const timespec& modified(const struct stat& st) {
  return st.st_mtimespec;
}
#else
const timespec& modified(const struct stat& st) {
  return st.st_mtim;
}
#endif

} // namespace

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameVersion(const struct stat& before, const struct stat& after) {
  return sameFile(before, after) && before.st_size == after.st_size &&
         modified(before).tv_sec == modified(after).tv_sec &&
         modified(before).tv_nsec == modified(after).tv_nsec;
}

} // namespace fileio
