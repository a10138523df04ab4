#include "app/output_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

WriteResult writeOutputFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    return WriteResult::not_opened;
  }
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    ok = wrote > 0;
    if (ok) {
      done += static_cast<std::size_t>(wrote);
    }
  }
  // A file system may report a failed write only at close (NFS, quotas), so
  // the close counts as part of the write.
  if (close(fd) != 0) {
    ok = false;
  }
  return ok ? WriteResult::written : WriteResult::failed;
}
