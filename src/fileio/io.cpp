#include "fileio/io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <optional>
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

std::string errorText(int code) {
  return code != 0 ? std::strerror(code) : "unexpected end of file";
}

Error systemError(int code) {
  return Error{errorText(code), code};
}

Error systemError(const std::string& what, int code) {
  return systemError(code).within(what);
}

std::string quoted(const std::string& path) {
  return "'" + path + "'";
}

namespace {

// After a call failed with `code`: nothing when it is worth trying again
// (interrupted, or a non-blocking descriptor that was waited on), otherwise
// the error that ends the attempt.
std::optional<Error> retryOrFail(int fd, short events, int code) {
  if (code == EINTR) {
    return std::nullopt;
  }
  if (code == EAGAIN || code == EWOULDBLOCK) {
    if (auto waited = waitFor(fd, events); !waited) {
      return waited.error();
    }
    return std::nullopt;
  }
  return systemError(code);
}

int systemPoll(pollfd* fds, nfds_t count, int timeout) {
  return ::poll(fds, count, timeout);
}

void systemPause(std::chrono::milliseconds pause) {
  std::this_thread::sleep_for(pause);
}

} // namespace

Result<void> waitFor(int fd, short events) {
  return waitFor(fd, events, systemPoll, systemPause);
}

Result<void> waitFor(int fd, short events, PollFunction poll, PauseFunction pause) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, -1);
    const int code = ready < 0 ? errno : 0;
    if (ready < 0 && code == EINTR) {
      continue;
    }
    if (ready < 0 && code != EAGAIN) {
      return tl::make_unexpected(systemError(code));
    }
    // POLLNVAL on an open descriptor: poll cannot watch it (macOS: devices,
    // terminals among them), and it answers at once, every time. So do EAGAIN
    // (the system is short of resources for the wait) and a poll that comes
    // back with nothing. Going straight back to the call would spin on the
    // CPU for as long as the descriptor stays busy: pause instead, briefly.
    if (ready <= 0 || (entry.revents & POLLNVAL) != 0) {
      if (fcntl(fd, F_GETFD) == -1) {
        return tl::make_unexpected(systemError(EBADF)); // not open at all: no wait can help
      }
      pause(UNPOLLABLE_PAUSE);
    }
    // Ready, or POLLERR / POLLHUP: the call itself reports what went wrong.
    return {};
  }
}

Result<void> readAt(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (auto failure = retryOrFail(fd, POLLIN, errno)) {
        return tl::make_unexpected(*failure);
      }
      continue;
    }
    if (got == 0) {
      return tl::make_unexpected(systemError(0)); // the file ended first
    }
    done += static_cast<std::size_t>(got);
  }
  return {};
}

Result<std::size_t> readSome(int fd, std::uint8_t* out, std::size_t size) {
  for (;;) {
    const ssize_t got = read(fd, out, size);
    if (got >= 0) {
      return static_cast<std::size_t>(got);
    }
    if (auto failure = retryOrFail(fd, POLLIN, errno)) {
      return tl::make_unexpected(*failure);
    }
  }
}

namespace {

// Writes all `size` bytes of `data` through `write(from, count, done)`, which
// writes up to `count` bytes from `from`, `done` bytes into `data`; retries
// short writes, interrupted calls and a full non-blocking descriptor.
template <typename Write>
Result<void> writeFully(int fd, const std::uint8_t* data, std::size_t size, Write write) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = write(data + done, size - done, done);
    if (wrote < 0) {
      if (auto failure = retryOrFail(fd, POLLOUT, errno)) {
        return tl::make_unexpected(*failure);
      }
      continue;
    }
    if (wrote == 0) {
      return tl::make_unexpected(systemError(EIO)); // took nothing, and never will
    }
    done += static_cast<std::size_t>(wrote);
  }
  return {};
}

} // namespace

Result<void> writeAllAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  return writeFully(fd, data, size, [&](const std::uint8_t* from, std::size_t count, std::size_t done) {
    return pwrite(fd, from, count, static_cast<off_t>(offset + done));
  });
}

Result<void> writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  return writeFully(fd, data, size, [&](const std::uint8_t* from, std::size_t count, std::size_t) {
    return write(fd, from, count);
  });
}

namespace {

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
Result<std::uint64_t> deviceSize(int fd) {
  std::uint64_t blocks = 0;
  std::uint32_t blockSize = 0;
  if (ioctl(fd, GET_BLOCK_COUNT, &blocks) != 0 || ioctl(fd, GET_BLOCK_SIZE, &blockSize) != 0) {
    return tl::make_unexpected(systemError(errno));
  }
  if (blockSize != 0 && blocks > std::numeric_limits<std::uint64_t>::max() / blockSize) {
    return tl::make_unexpected(systemError(EOVERFLOW));
  }
  return blocks * blockSize;
}
#endif

} // namespace

Result<std::uint64_t> sizeOf(int fd) {
  // A regular file's end is its size, one call away; seeking there and back
  // takes three.
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    return tl::make_unexpected(systemError(errno));
  }
  if (S_ISREG(st.st_mode)) {
    return static_cast<std::uint64_t>(st.st_size);
  }
#if defined(__APPLE__)
  if (S_ISBLK(st.st_mode)) {
    return deviceSize(fd);
  }
#endif
  // Elsewhere a block device's end offset is its size. Pipes and other
  // unseekable files have no end to count back from.
  const off_t current = lseek(fd, 0, SEEK_CUR);
  const off_t end = current < 0 ? current : lseek(fd, 0, SEEK_END);
  if (end < 0) {
    return tl::make_unexpected(systemError(errno));
  }
  lseek(fd, current, SEEK_SET);
  return static_cast<std::uint64_t>(end);
}

std::string blockDeviceOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  const std::string raw = "rdisk";
  if (path.compare(name, raw.size(), raw) != 0) {
    return "";
  }
  // rdisk<N>, then any number of s<N> (slices).
  std::size_t at = name + raw.size();
  const auto number = [&path, &at] {
    const std::size_t from = at;
    while (at < path.size() && path[at] >= '0' && path[at] <= '9') {
      ++at;
    }
    return at > from;
  };
  if (!number()) {
    return "";
  }
  while (at < path.size()) {
    if (path[at] != 's') {
      return "";
    }
    ++at;
    if (!number()) {
      return "";
    }
  }
  return path.substr(0, name) + path.substr(name + 1);
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

Result<struct stat> settledStatus(int fd) {
  // A file changed while we wait has a new time to wait for; one that keeps
  // changing is taken as it is after a few rounds (the later comparison
  // still sees what changes after the last one).
  constexpr int ROUNDS = 3;
  struct stat st {};
  for (int round = 0; round <= ROUNDS; ++round) {
    if (fstat(fd, &st) != 0) {
      return tl::make_unexpected(systemError(errno));
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::chrono::nanoseconds wait = untilChangesShow(modificationTime(st), now);
    if (wait.count() == 0 || round == ROUNDS) {
      return st;
    }
    std::this_thread::sleep_for(wait);
  }
  return st;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameVersion(const struct stat& before, const struct stat& after) {
  return sameFile(before, after) && before.st_size == after.st_size &&
         modificationTime(before).tv_sec == modificationTime(after).tv_sec &&
         modificationTime(before).tv_nsec == modificationTime(after).tv_nsec;
}

const timespec& modificationTime(const struct stat& st) {
#if defined(__APPLE__)
  return st.st_mtimespec;
#else
  return st.st_mtim;
#endif
}

} // namespace fileio
