// A new file assembled next to its destination under a temporary name, and
// renamed over the destination only once it is complete and on disk, so the
// destination is always either as it was or entirely new.
//
// Everything happens in the destination's directory as it was opened (a
// Place), never through its path again: the temporary file
// `.<destination's name>.<tag>-XXXXXX` is created there exclusively and
// without following links, and the rename replaces the destination's name
// (a link there is replaced, never followed). The temporary file is removed
// when the object goes away uncommitted, and by a signal handler that calls
// discardPendingFile(); the signals that end a run are held back while the
// file is created and registered, so there is no moment at which it exists
// unregistered. Only SIGKILL, a crash or a power loss can leave one behind;
// for those the file is locked (flock) from the moment it exists until the
// rename, and removeLeftovers() deletes the ones nobody holds a lock on.
#pragma once

#include <string>
#include <sys/stat.h>
#include <vector>

#include "fileio/fd.h"
#include "fileio/place.h"
#include "fileio/result.h"

namespace fileio {

class AtomicFile {
public:
  // `destination` is where the file goes; its directory descriptor is
  // duplicated, so the Place need not outlive this object.
  AtomicFile(const Place& destination, std::string tag);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file, empty, locked and open for reading and
  // writing (mode 0600 until the caller sets another).
  Result<void> create();

  // Creates the temporary file as a copy-on-write clone of the whole file
  // `source`, where the system clones whole files when it creates them
  // (macOS's fclonefileat). False, with nothing created, where it cannot.
  bool createClone(int source);

  int fd() const { return fd_.get(); }
  // The destination's path and directory, as the user named them.
  const std::string& destination() const { return shown_; }
  std::string directory() const;

  // Stores the file's data on the storage device and closes the writing
  // descriptor, checking the close; the lock stays held.
  Result<void> flush();

  // Renames the file over the destination and makes the rename durable.
  // On failure the temporary file is removed as usual.
  Result<void> commit();

private:
  // Locks the file just created as `name`: false when another run's
  // clean-up removed it first.
  Result<bool> adopt(int fd, const std::string& name);

  Fd dir_;           // the destination's directory
  int dirError_;     // why dir_ could not be had, if it could not
  std::string name_; // the destination's name in it
  std::string shown_;
  std::string tag_;
  std::string temporary_; // the temporary file's name in dir_, once created
  Fd fd_;                 // for writing, until flush()
  Fd lock_;               // holds the flock until the rename (a second descriptor of the same open file)
  bool committed_ = false;
};

// Removes what runs ended by SIGKILL, a crash or a power loss left behind for
// `destination`: the files `.<its name>.<tag>-XXXXXX` in its directory that
// belong to us, are regular files with a single link, are none of `keep`
// (the files the run was given) and that no process holds a lock on. A file
// that is still being assembled is locked and stays; a file of that shape
// that another account made, or that the user named, is never touched.
// Returns the paths removed.
std::vector<std::string> removeLeftovers(const Place& destination, const std::string& tag,
                                         const std::vector<struct stat>& keep);

// `.<name>.<tag>-`, the fixed part of the temporary names for the
// destination `name`. A long name is cut to its first 200 bytes, never
// inside a UTF-8 character: APFS and HFS+ refuse a name that is not valid
// UTF-8.
std::string temporaryPrefix(const std::string& name, const std::string& tag);

// Removes the temporary file of an AtomicFile that is under way, if there is
// one. Async-signal-safe: meant for the handlers of signals that end the
// process.
void discardPendingFile();

} // namespace fileio
