// Moving a run of bytes out of a regular file the cheapest way the system
// offers. Into a new file: a copy-on-write clone (FICLONE; on macOS the clone
// is made when the file is created, see AtomicFile::createClone), else the
// kernel's copy_file_range, else a buffer. Into a stream (standard output as
// a pipe, a terminal, a socket or a file): splice into a pipe, copy_file_range
// into a file, sendfile into anything else, else a buffer. Each kernel path
// falls back to the next when the system or the file system does not offer it.
#pragma once

#include <cstdint>
#include <string>

#include "fileio/result.h"

namespace fileio {

enum class CopyMethod {
  none,            // nothing was copied (the operation failed first, or there was nothing to copy)
  clone,           // copy-on-write clone of the whole source, cut back to the length
  copy_file_range, // in-kernel copy between files
  splice,          // the file's pages handed to a pipe
  sendfile,        // in-kernel copy into a socket, terminal or device
  stream           // read and written through a buffer
};

// The method's name, as BRACKWELL_STAMP_VERBOSE prints it.
std::string nameOf(CopyMethod method);

// The cheapest copy a run may try.
enum class CopyLimit {
  cheapest, // every method the system has
  no_clone, // no clone: in-kernel copies, then a buffer
  stream    // a buffer only
};

// The two ends of a copy, in the words of the messages it fails with:
// "cannot read <source>: ...", "cannot write <target>: ...".
struct Ends {
  std::string source;
  std::string target;
};

// Makes `target`, an empty regular file, hold the first `length` bytes of
// the regular file `source` at the same offsets; the method that did it.
Result<CopyMethod> copyPrefix(int source, int target, std::uint64_t length, CopyLimit limit,
                              const Ends& ends);

// Writes bytes [from, from + length) of the regular file `source` to
// `target` at its current position; the method that did it (none for no
// bytes).
Result<CopyMethod> copyToStream(int source, std::uint64_t from, std::uint64_t length, int target,
                                CopyLimit limit, const Ends& ends);

} // namespace fileio
