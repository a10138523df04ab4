// Writing to a path the user gave, the way a shell redirection (`> path`)
// does: the file is created (mode 0666 less the umask) or truncated, and a
// device, a FIFO or a link to either is written to as it is. Under the
// shared-directory rules of place.h, so that nothing another account planted
// in /tmp receives, redirects or blocks the write.
#pragma once

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "fileio/fd.h"
#include "fileio/result.h"

namespace fileio {

// What to do with a FIFO that nobody reads yet.
enum class FifoWait {
  forReader, // wait for one, as a shell does
  never      // fail at once
};

// An output opened for writing and not yet truncated.
struct Output {
  Fd fd;
  struct stat info {}; // the opened file
};

// Opens `path` for writing, creating it when it does not exist. A FIFO that
// another account planted is refused without waiting for its reader. The
// file is not truncated yet: the caller's own checks on the opened file
// (`info`) come first, then truncate().
Result<Output> openOutput(const std::string& path, FifoWait wait);

// Cuts an opened regular file to nothing; anything else is left as it is.
Result<void> truncate(const Output& output, const std::string& path);

// Creates or truncates `path` and writes all of `bytes` to it. The close
// counts as part of the write: some file systems (NFS, quotas) report a
// failed write only there.
Result<void> writeOutputFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

} // namespace fileio
