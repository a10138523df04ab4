// Where a path leads, and the rules for names in shared directories.
//
// A sticky, world-writable directory (/tmp, /private/tmp, /Users/Shared, a
// shared build folder) lets every account create names in it but remove only
// its own. Anyone can plant a symbolic link, a FIFO, a hard link to another
// account's file, or a file of their own under the name that a run as root is
// about to write, and so make that run write where they chose, hang, or hand
// its output over to them. Linux refuses the classic cases in the kernel
// (fs.protected_symlinks, _regular, _fifos, _hardlinks); macOS has nothing
// of the kind. So every name these tools write, create or replace goes
// through the same rules, on every system:
//
// - a symbolic link in a shared directory is followed only when it belongs to
//   us (the effective user) or to the directory's owner, and only when it has
//   a single link (anyone may hard-link another account's symbolic link, such
//   as root's /etc/localtime, into the directory: it is then root's link);
// - an existing regular file or FIFO there is used only when it belongs to us
//   or to the directory's owner, and a regular file only when it has a single
//   link (macOS lets any account hard-link another account's file);
// - an existing regular file there is never opened to be written: the
//   writers make a new file and rename it over the name (output_file.h,
//   atomic_file.h), so no mode, owner or inode that someone else chose (a
//   file of root's that another account kept a hard link to, and moved in
//   once root had deleted its own name) survives the write;
// - the decisions are made on the opened directory and on the opened object,
//   never on a path looked at before.
//
// A link or file that belongs to us or to the directory's owner cannot be
// replaced by anyone else: the sticky bit keeps other accounts from renaming
// or removing it. Directories on the way to the last component are taken as
// they are, as a shell takes them.
#pragma once

#include <string>
#include <sys/stat.h>

#include "fileio/fd.h"
#include "fileio/result.h"

namespace fileio {

// Whether `directory` is shared: sticky and writable by every account.
bool isShared(const struct stat& directory);

// Whether an entry of `directory` may be relied on: it belongs to the
// effective user or to the directory's owner.
bool trustedIn(const struct stat& entry, const struct stat& directory);

// A name in an open directory: where a path leads once the symbolic links at
// its last component are followed.
struct Place {
  Fd dir;                 // the directory that holds `name`
  struct stat dirInfo {}; // that directory, as opened
  std::string name;       // one component, never "", "." or ".."
  std::string path;       // the path that reaches it, for messages
  bool exists = false;
  struct stat info {}; // lstat of `name` when it exists
  // `name` is one the kernel opens as something other than what a look at
  // the name shows, so the opened file is never compared with it: one of
  // /proc's links to open descriptors (/dev/stdout leads there on Linux),
  // whose target is no path and which the kernel follows itself, or one of
  // devfs's /dev/fd/N nodes (/dev/stdout leads there on macOS), which opens
  // as a duplicate of descriptor N.
  bool kernelLink = false;
  // Opening `name` gives a duplicate of one of our descriptors (macOS's
  // /dev/fd/N): the new descriptor shares that one's file status flags
  // (O_NONBLOCK...), which are then not ours to change.
  bool duplicate = false;

  bool shared() const { return isShared(dirInfo); }
  // The path of the directory, for messages.
  std::string directory() const;
};

// The place `path` names: its directory opened, and the symbolic links at its
// last component followed (at most 32). A link in a shared directory that
// belongs to neither us nor the directory's owner, or that has more than one
// link, is refused. A path that names a directory ("/", "..", "dir/") fails
// with EISDIR.
Result<Place> placeOf(const std::string& path);

// Refuses `info`, an existing entry of `place` (as found, or as opened), when
// `place` is in a shared directory and another account may have planted it:
// a regular file or FIFO that belongs to neither us nor the directory's
// owner, or a regular file with more than one link.
Result<void> checkShared(const Place& place, const struct stat& info);

} // namespace fileio
