// A new file assembled next to its destination under a temporary name, and
// renamed over the destination only once it is complete and on disk, so the
// destination is always either as it was or entirely new.
//
// The temporary file is `.<destination's name>.<tag>-XXXXXX` in the
// destination's directory (the same file system, so the rename is atomic). It
// is removed when the object goes away uncommitted, and by a signal handler
// that calls discardPendingFile(). Only SIGKILL, a crash or a power loss can
// leave one behind; for those the file is locked (flock) from the moment it
// exists until the rename, and removeLeftovers() deletes the ones nobody
// holds a lock on any more.
#pragma once

#include <string>
#include <vector>

#include "fileio/fd.h"

namespace fileio {

class AtomicFile {
public:
  AtomicFile(std::string destination, std::string tag);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file, empty, locked and open for reading and
  // writing (mode 0600 until the caller sets another). False with `error`.
  bool create(std::string& error);

  // Creates the temporary file as a copy-on-write clone of the whole file
  // `source`, where the system clones whole files when it creates them
  // (macOS's fclonefileat). False, with nothing created, where it cannot.
  bool createClone(int source);

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  const std::string& destination() const { return destination_; }
  // The destination's directory, as the destination names it ("." for a bare name).
  std::string directory() const;

  // Stores the file's data on the storage device and closes the writing
  // descriptor, checking the close; the lock stays held. False with errno.
  bool flush();

  // Renames the file over the destination and makes the rename durable.
  // False with errno (the temporary file is then removed as usual).
  bool commit();

private:
  bool adopt(int fd, const std::string& name);
  std::string pattern() const;

  std::string destination_;
  std::string tag_;
  std::string path_;
  Fd fd_;   // for writing, until flush()
  Fd lock_; // holds the flock until the rename (a second descriptor of the same open file)
  bool committed_ = false;
};

// Removes the files `.<name>.<tag>-XXXXXX` in `directory` that no process
// holds a lock on: what runs ended by SIGKILL, a crash or a power loss left
// behind. A file that is still being assembled is locked and stays. Returns
// the paths removed.
std::vector<std::string> removeLeftovers(const std::string& directory, const std::string& tag);

// Removes the temporary file of an AtomicFile that is under way, if there is
// one. Async-signal-safe: meant for the handlers of signals that end the
// process.
void discardPendingFile();

} // namespace fileio
