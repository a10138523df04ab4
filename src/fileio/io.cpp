#include "fileio/io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "fileio/result.h"

#if defined(__APPLE__)
#include <sys/ioctl.h>
#if __has_include(<sys/disk.h>)
#include <sys/disk.h>
#endif
#endif

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

int systemPoll(pollfd* fds, nfds_t count, int timeout) {
  return ::poll(fds, count, timeout);
}

void systemPause(std::chrono::milliseconds pause) {
  std::this_thread::sleep_for(pause);
}

} // namespace

bool waitFor(int fd, short events) {
  return waitFor(fd, events, systemPoll, systemPause);
}

bool waitFor(int fd, short events, PollFunction poll, PauseFunction pause) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, -1);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0 && errno != EAGAIN) {
      return false;
    }
    // POLLNVAL on an open descriptor: poll cannot watch it (macOS: devices,
    // terminals among them), and it answers at once, every time. So do EAGAIN
    // (the system is short of resources for the wait) and a poll that comes
    // back with nothing. Going straight back to the call would spin on the
    // CPU for as long as the descriptor stays busy: pause instead, briefly.
    if (ready <= 0 || (entry.revents & POLLNVAL) != 0) {
      if (fcntl(fd, F_GETFD) == -1) {
        return false; // not open at all: no wait can help
      }
      pause(UNPOLLABLE_PAUSE);
    }
    // Ready, or POLLERR / POLLHUP: the call itself reports what went wrong.
    return true;
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

#if defined(__APPLE__)
// <sys/disk.h>'s requests for a disk's block size and block count, spelt out
// here because the headers that zig cross-compiles with lack that file; where
// it is there, the asserts hold these to it.
constexpr unsigned long GET_BLOCK_SIZE = _IOR('d', 24, std::uint32_t);
constexpr unsigned long GET_BLOCK_COUNT = _IOR('d', 25, std::uint64_t);
#if defined(DKIOCGETBLOCKSIZE)
static_assert(GET_BLOCK_SIZE == DKIOCGETBLOCKSIZE && GET_BLOCK_COUNT == DKIOCGETBLOCKCOUNT,
              "the disk-size requests differ from <sys/disk.h>'s");
#endif

// A disk's size as its driver gives it: macOS gives a block device no end to
// seek to (lseek to SEEK_END answers 0), so counting back from there would
// find nothing.
bool deviceSize(int fd, std::uint64_t& size) {
  std::uint64_t blocks = 0;
  std::uint32_t blockSize = 0;
  if (ioctl(fd, GET_BLOCK_COUNT, &blocks) != 0 || ioctl(fd, GET_BLOCK_SIZE, &blockSize) != 0 ||
      (blockSize != 0 && blocks > std::numeric_limits<std::uint64_t>::max() / blockSize)) {
    return false;
  }
  size = blocks * blockSize;
  return true;
}
#endif

} // namespace

bool sizeOf(int fd, std::uint64_t& size) {
  // A regular file's end is its size, one call away; seeking there and back
  // takes three.
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
#if defined(__APPLE__)
  if (S_ISBLK(st.st_mode)) {
    return deviceSize(fd, size);
  }
#endif
  // Elsewhere a block device's end offset is its size. Pipes and other
  // unseekable files have no end to count back from.
  const off_t current = lseek(fd, 0, SEEK_CUR);
  const off_t end = lseek(fd, 0, SEEK_END);
  if (current < 0 || end < 0) {
    return false;
  }
  lseek(fd, current, SEEK_SET);
  size = static_cast<std::uint64_t>(end);
  return true;
}

std::chrono::nanoseconds untilChangesShow(const timespec& modified, const timespec& now) {
  using std::chrono::nanoseconds;
  using std::chrono::seconds;
  const nanoseconds granularity =
      modified.tv_nsec == 0 ? nanoseconds(COARSE_TIMESTAMPS) : nanoseconds(COARSE_CLOCK_TICK);
  const nanoseconds changesShowFrom = seconds(modified.tv_sec) + nanoseconds(modified.tv_nsec) + granularity;
  const nanoseconds at = seconds(now.tv_sec) + nanoseconds(now.tv_nsec);
  return at >= changesShowFrom ? nanoseconds(0) : std::min(changesShowFrom - at, granularity);
}

bool settledStatus(int fd, struct stat& st) {
  // A file changed while we wait has a new time to wait for; one that keeps
  // changing is taken as it is after a few rounds (the later comparison
  // still sees what changes after the last one).
  constexpr int ROUNDS = 3;
  for (int round = 0; round < ROUNDS; ++round) {
    if (fstat(fd, &st) != 0) {
      return false;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::chrono::nanoseconds wait = untilChangesShow(modified(st), now);
    if (wait.count() == 0) {
      return true;
    }
    std::this_thread::sleep_for(wait);
  }
  return fstat(fd, &st) == 0;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameVersion(const struct stat& before, const struct stat& after) {
  return sameFile(before, after) && before.st_size == after.st_size &&
         modified(before).tv_sec == modified(after).tv_sec &&
         modified(before).tv_nsec == modified(after).tv_nsec;
}

} // namespace fileio
