// The extended attributes a new file takes over from the file it is made
// from, whichever way its bytes were copied.
//
// A macOS clone (fclonefileat) carries every extended attribute of its
// source, and its ACL, by itself; a file created and then filled does not.
// So that both give the same file, the second kind gets them here: on macOS
// every attribute (com.apple.quarantine, com.apple.FinderInfo, ...) and the
// ACL, as the clone and `cp` carry them; on Linux the user.* attributes,
// what GNU `cp --preserve=xattr` carries for any user (the other namespaces
// belong to the kernel, security modules and ACLs of the new file's place).
#pragma once

#include "fileio/result.h"

namespace fileio {

// Sets on `target` the extended attributes (and, on macOS, the ACL) of
// `source`. A file system that keeps none on either side is no failure: the
// new file then has none. A failure names the attribute.
Result<void> copyExtendedAttributes(int source, int target);

} // namespace fileio
