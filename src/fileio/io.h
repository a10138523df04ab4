// Reads and writes that finish the job: short transfers and interrupted calls
// are retried, and a descriptor left non-blocking by whoever started us is
// waited on instead of failing with EAGAIN.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Blocks until `fd` is ready for `events` (POLLIN / POLLOUT); false when the
// wait itself failed.
bool waitFor(int fd, short events);

// strerror's text, or "unexpected end of file" for 0 (a read that came back
// short without an error).
std::string errorText(int error);

// Whether two stat results show the same file in the same version: same file
// (device and inode), same size, same modification time to the nanosecond.
// A writer that overwrites a file in place at the same size changes only the
// last of these, and often within the same second.
bool sameVersion(const struct stat& before, const struct stat& after);

// Whether two stat results name the same file (device and inode).
bool sameFile(const struct stat& a, const struct stat& b);

} // namespace fileio
