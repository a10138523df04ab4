// Reads and writes that finish the job: short transfers and interrupted calls
// are retried, and a descriptor left non-blocking by whoever started us is
// waited on instead of failing with EAGAIN.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/stat.h>

namespace fileio {

// Reads up to `size` bytes at `offset` and returns how many arrived. When
// fewer did, errno tells why (0 for the end of the file).
std::size_t readAt(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size);

// Reads up to `size` bytes from the current position (a pipe, a terminal, a
// file); returns how many arrived, 0 at the end of input, -1 with errno set.
long readSome(int fd, std::uint8_t* out, std::size_t size);

// Writes all `size` bytes at `offset`, or at the current position; false with
// errno set when that is not possible.
bool writeAllAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset);
bool writeAll(int fd, const std::uint8_t* data, std::size_t size);

// Blocks until `fd` is ready for `events` (POLLIN / POLLOUT), or, where the
// system cannot poll it (macOS answers POLLNVAL for devices), for a short
// pause; either way the caller then tries its call again, and never spins.
// False when the wait itself failed or `fd` is not open.
bool waitFor(int fd, short events);

// waitFor() with the system's poll and pause replaced, for tests.
using PollFunction = int (*)(pollfd* fds, nfds_t count, int timeout);
using PauseFunction = void (*)(std::chrono::milliseconds);
bool waitFor(int fd, short events, PollFunction poll, PauseFunction pause);
// How long waitFor() pauses on a descriptor that cannot be polled.
constexpr std::chrono::milliseconds UNPOLLABLE_PAUSE{10};

// The size in bytes of what `fd` refers to: a regular file's size or a
// block device's capacity. False for what has no end to count back from (a
// pipe, a socket).
bool sizeOf(int fd, std::uint64_t& size);

// strerror's text, or "unexpected end of file" for 0 (a read that came back
// short without an error).
std::string errorText(int error);

// Whether two stat results show the same file in the same version: same file
// (device and inode), same size, same modification time to the nanosecond.
// A writer that overwrites a file in place at the same size changes only the
// last of these, and often within the same second.
//
// A file system keeps modification times only to its own granularity (2 s on
// FAT, 1 s on HFS+ and ext4 with small inodes, a clock tick elsewhere), so a
// same-size rewrite within the tick of the recorded time leaves all three
// as they were. Record `before` with settledStatus(), which waits that tick
// out first, and the comparison sees every later change.
bool sameVersion(const struct stat& before, const struct stat& after);

// How long to wait, at `now`, before a file last modified at `modified` can
// be recorded such that any later change gives it another modification
// time: until the clock is past the granularity that `modified` shows (a
// time without nanoseconds comes from a coarse file system: up to 2 s; any
// other, from a clock tick: up to COARSE_CLOCK_TICK). Zero when that has
// passed, never more than the granularity (a clock that runs behind the
// file system's must not hold a run up for longer).
std::chrono::nanoseconds untilChangesShow(const timespec& modified, const timespec& now);
constexpr std::chrono::seconds COARSE_TIMESTAMPS{2};
constexpr std::chrono::milliseconds COARSE_CLOCK_TICK{20};

// fstat() of `fd` once untilChangesShow() allows it: the version a later
// sameVersion() compares against. False with errno when fstat fails.
bool settledStatus(int fd, struct stat& st);

// Whether two stat results name the same file (device and inode).
bool sameFile(const struct stat& a, const struct stat& b);

} // namespace fileio
