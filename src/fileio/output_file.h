// Writing to a path the user gave, the way a shell redirection (`> path`)
// does: the file is created (mode 0666 less the umask) or truncated, and a
// device, a FIFO or a link to either is written to as it is. Under the
// shared-directory rules of place.h, so that nothing another account planted
// in /tmp receives, redirects or blocks the write.
//
// In a shared directory a regular file is never reopened: the output is a
// new file (mode 0666 less the umask, the runner's) that replaces the name
// when it is complete, as brackwell-stamp's new images do. A file of ours
// found there may be one that another account kept a hard link to and moved
// in after we deleted our own name for it: truncated and written, it would
// keep the mode it had (0644, say, where our umask would give 0600) and hand
// what we write to whoever still holds it open. Everywhere else (the user's
// own directories, /dev/stdout, a pipe) the file is created or truncated as
// a shell would.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "fileio/atomic_file.h"
#include "fileio/fd.h"
#include "fileio/result.h"

namespace fileio {

// What to do with a FIFO that nobody reads yet.
enum class FifoWait {
  forReader, // wait for one, as a shell does
  never      // fail at once
};

// Temporary files of outputs in shared directories are
// `.<name>.output-XXXXXX` next to them.
constexpr const char* OUTPUT_TAG = "output";

// An output opened for writing and not yet truncated.
struct Output {
  Fd fd;
  // The opened file; for a replacement, the file it will replace (all zero
  // when there is none), so that the caller can tell whether that is a file
  // it must not overwrite.
  struct stat info {};
  // In a shared directory: the new file, renamed over the name by finish().
  std::unique_ptr<AtomicFile> replacement;

  // Where the bytes go.
  int descriptor() const { return replacement ? replacement->fd() : fd.get(); }
};

// Opens `path` for writing, creating it when it does not exist. A FIFO that
// another account planted is refused without waiting for its reader. The
// file is not truncated yet: the caller's own checks on the opened file
// (`info`) come first, then truncate().
Result<Output> openOutput(const std::string& path, FifoWait wait);

// Cuts an opened regular file to nothing; anything else, and a replacement,
// is left as it is.
Result<void> truncate(const Output& output, const std::string& path);

// Ends the write: closes the file, checking the close (some file systems,
// NFS or quotas, report a failed write only there); a replacement is flushed
// to disk and renamed over the name.
Result<void> finish(Output& output);

// Creates or truncates `path` (in a shared directory: replaces it) and writes
// all of `bytes` to it.
Result<void> writeOutputFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

} // namespace fileio
