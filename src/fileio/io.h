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

#include "fileio/result.h"

namespace fileio {

// Reads exactly `size` bytes at `offset`. A file that ends first is an error
// with code 0 ("unexpected end of file").
Result<void> readAt(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size);

// Reads up to `size` bytes from the current position (a pipe, a terminal, a
// file): how many arrived, 0 at the end of input.
Result<std::size_t> readSome(int fd, std::uint8_t* out, std::size_t size);

// Writes all `size` bytes at `offset`, or at the current position.
Result<void> writeAllAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset);
Result<void> writeAll(int fd, const std::uint8_t* data, std::size_t size);

// The amount in which bytes move through memory: what a copy or a read of
// the profile holds at once.
constexpr std::size_t BUFFER_SIZE = std::size_t{1} << 20;

// Blocks until `fd` is ready for `events` (POLLIN / POLLOUT), or, where the
// system cannot poll it (macOS answers POLLNVAL for devices), for a short
// pause; either way the caller then tries its call again, and never spins.
// Fails when the wait itself failed or `fd` is not open.
Result<void> waitFor(int fd, short events);

// waitFor() with the system's poll and pause replaced, for tests.
using PollFunction = int (*)(pollfd* fds, nfds_t count, int timeout);
using PauseFunction = void (*)(std::chrono::milliseconds);
Result<void> waitFor(int fd, short events, PollFunction poll, PauseFunction pause);
// How long waitFor() pauses on a descriptor that cannot be polled.
constexpr std::chrono::milliseconds UNPOLLABLE_PAUSE{10};

// The size in bytes of what `fd` refers to: a regular file's size or a
// block device's capacity. Fails for what has no end to count back from (a
// pipe, a socket).
Result<std::uint64_t> sizeOf(int fd);

// The block device of the disk whose raw (character) device `path` names,
// as macOS names the two: /dev/rdisk4 -> /dev/disk4, /dev/rdisk4s1 ->
// /dev/disk4s1. Empty for any other name.
std::string blockDeviceOf(const std::string& path);

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
// sameVersion() compares against.
Result<struct stat> settledStatus(int fd);

// Whether two stat results name the same file (device and inode).
bool sameFile(const struct stat& a, const struct stat& b);

// The modification time of a stat result (st_mtim on Linux, st_mtimespec on
// macOS).
const timespec& modificationTime(const struct stat& st);

} // namespace fileio
