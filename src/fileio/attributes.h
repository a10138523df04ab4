// What a new file takes over from the file it is made from besides its
// bytes, whichever way those were copied: extended attributes, the ACL and
// the BSD file flags a copy keeps.
//
// A macOS clone (fclonefileat) carries every extended attribute of its
// source, its ACL (asked for with CLONE_ACL) and its file flags by itself; a
// file created and then filled does not. So that both give the same file,
// the second kind gets them here: on macOS every attribute
// (com.apple.quarantine, com.apple.FinderInfo, ...) and the ACL, as the clone
// and `cp` carry them; on Linux the user.* attributes, what GNU `cp
// --preserve=xattr` carries for any user (the other namespaces belong to the
// kernel, security modules and ACLs of the new file's place). Both kinds keep
// the same file flags (keptFlags).
//
// An attribute the new file cannot take is left out, as Apple's copyfile(3)
// leaves it out, and the run goes on: macOS lets only entitled processes set
// some (com.apple.root.installed; com.apple.provenance, which macOS 13 and
// later put on many files, gives EPERM to a process that is not root), and a
// file system may keep none, or refuse a name or a value it cannot store.
#pragma once

#include <cstdint>
#include <vector>

#include "fileio/result.h"

namespace fileio {

// Sets on `target` the extended attributes (and, on macOS, the ACL and the
// file flags a copy keeps) of `source`. A file system that keeps none on
// either side is no failure: the new file then has none. What `target`
// could not take (the call failed with EPERM, EACCES, ENOTSUP, or, for a
// name or value its file system cannot store, EINVAL, ENAMETOOLONG, ERANGE
// or E2BIG) is left out and comes back, one error each, naming it and why.
// Any other failure (a read of `source` that failed, EIO, ENOSPC) fails the
// whole and names the attribute.
Result<std::vector<Error>> copyExtendedAttributes(int source, int target);

// BSD file flags (st_flags; chflags(1) on macOS), with macOS's values. They
// are named here, not taken from the system's headers, so that the
// decisions below run, and are tested, on systems without them; where the
// headers have them, the build checks that the values agree.
namespace flags {
constexpr std::uint32_t NODUMP = 0x00000001;           // UF_NODUMP: left out of backups
constexpr std::uint32_t IMMUTABLE = 0x00000002;        // UF_IMMUTABLE: locked (the Finder's "Locked")
constexpr std::uint32_t APPEND = 0x00000004;           // UF_APPEND: written only at its end
constexpr std::uint32_t COMPRESSED = 0x00000020;       // UF_COMPRESSED: its bytes live compressed (decmpfs)
constexpr std::uint32_t TRACKED = 0x00000040;          // UF_TRACKED: the system follows it through renames
constexpr std::uint32_t DATAVAULT = 0x00000080;        // UF_DATAVAULT: read only with an entitlement
constexpr std::uint32_t HIDDEN = 0x00008000;           // UF_HIDDEN: not shown by the Finder
constexpr std::uint32_t SYSTEM_ARCHIVED = 0x00010000;  // SF_ARCHIVED
constexpr std::uint32_t SYSTEM_IMMUTABLE = 0x00020000; // SF_IMMUTABLE: locked, and only root may unlock it
constexpr std::uint32_t SYSTEM_APPEND = 0x00040000;    // SF_APPEND
constexpr std::uint32_t RESTRICTED = 0x00080000;       // SF_RESTRICTED: written only with an entitlement
constexpr std::uint32_t NO_UNLINK = 0x00100000;        // SF_NOUNLINK: may not be removed or renamed
constexpr std::uint32_t DATALESS = 0x40000000;         // SF_DATALESS: its bytes are not on this disk
} // namespace flags

// Whether a file with `flags` may be cloned to make the new file. Not when
// the clone, which carries its source's flags, would be a file that cannot
// be written, renamed or removed (locked: IMMUTABLE, APPEND, their SYSTEM_
// kin, NO_UNLINK; the SYSTEM_ ones only root may clear, and only at a low
// securelevel), nor when its bytes are not plain bytes in the file
// (COMPRESSED, DATALESS). Such an image is copied through a buffer instead:
// its bytes are read as any reader gets them, and the new file is an
// ordinary one with keptFlags(). Not cloning, rather than clearing the
// clone's flags afterwards, leaves no moment at which a run that is killed
// leaves behind a file that neither it nor the next run's clean-up could
// remove.
bool mayClone(std::uint32_t flags);

// The flags a new image keeps of those of the image it is made from: HIDDEN
// and NODUMP, which say how the file is shown and backed up and which `cp
// -p` keeps. Not the locks (a locked new image could not be renamed into
// place, nor replaced by the next run), not COMPRESSED or DATALESS (how the
// bytes are stored; the new file's are written plain), not the ones the
// system sets for its own purposes (TRACKED, DATAVAULT, RESTRICTED,
// SYSTEM_ARCHIVED).
std::uint32_t keptFlags(std::uint32_t flags);

} // namespace fileio
