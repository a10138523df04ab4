#include "fileio/output_file.h"

#include <fcntl.h>

#include "fileio/fd.h"
#include "fileio/io.h"

WriteResult writeOutputFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  fileio::Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) {
    return WriteResult::not_opened;
  }
  const bool wrote = fileio::writeAll(fd.get(), bytes.data(), bytes.size());
  // A file system may report a failed write only at close (NFS, quotas), so
  // the close counts as part of the write.
  const bool closed = fd.closeChecked();
  return wrote && closed ? WriteResult::written : WriteResult::failed;
}
