#include "fileio/attributes.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "fileio/io.h"

#if defined(__linux__)
#include <sys/xattr.h>
#elif defined(__APPLE__)
#include <sys/acl.h>
#if __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#endif
// <sys/xattr.h>'s calls, declared here as well because the headers that zig
// cross-compiles with lack that file. Where it is there, a declaration that
// differed from it would not compile.
extern "C" {
ssize_t flistxattr(int fd, char* names, size_t size, int options);
ssize_t fgetxattr(int fd, const char* name, void* value, size_t size, std::uint32_t position, int options);
int fsetxattr(int fd, const char* name, const void* value, size_t size, std::uint32_t position, int options);
}
#endif

namespace fileio {

// The flags' values, where the system names them.
#if defined(UF_IMMUTABLE)
static_assert(flags::NODUMP == UF_NODUMP && flags::IMMUTABLE == UF_IMMUTABLE && flags::APPEND == UF_APPEND &&
              flags::HIDDEN == UF_HIDDEN && flags::SYSTEM_ARCHIVED == SF_ARCHIVED &&
              flags::SYSTEM_IMMUTABLE == SF_IMMUTABLE && flags::SYSTEM_APPEND == SF_APPEND);
#endif
#if defined(UF_COMPRESSED)
static_assert(flags::COMPRESSED == UF_COMPRESSED && flags::TRACKED == UF_TRACKED &&
              flags::DATAVAULT == UF_DATAVAULT && flags::RESTRICTED == SF_RESTRICTED &&
              flags::NO_UNLINK == SF_NOUNLINK && flags::DATALESS == SF_DATALESS);
#endif

namespace {

// A file system that keeps no extended attributes.
bool unsupported(int error) {
  return error == ENOTSUP || error == EOPNOTSUPP;
}

// What the new file cannot take, and is left out: refused to us (EPERM,
// EACCES), not kept by its file system (ENOTSUP), or a name or value that
// file system cannot store (EINVAL, ENAMETOOLONG; Linux says ERANGE for a
// name too long, and both systems E2BIG for a value too large).
bool cannotTake(int error) {
  return error == EPERM || error == EACCES || unsupported(error) || error == EINVAL ||
         error == ENAMETOOLONG || error == ERANGE || error == E2BIG;
}

tl::unexpected<Error> failure(const std::string& what, const Error& cause) {
  return tl::make_unexpected(cause.within("cannot carry over " + what + " of the image"));
}

Error leftOut(const std::string& what, int code) {
  return systemError("the new image goes without " + what + " of the image", code);
}

#if defined(__linux__) || defined(__APPLE__)

// The system's calls with the arguments both systems share (macOS adds a
// position, for resource forks, and options: 0 for both).
#if defined(__APPLE__)
ssize_t listAttributes(int fd, char* names, std::size_t size) {
  return flistxattr(fd, names, size, 0);
}
ssize_t getAttribute(int fd, const char* name, void* value, std::size_t size) {
  return fgetxattr(fd, name, value, size, 0, 0);
}
int setAttribute(int fd, const char* name, const void* value, std::size_t size) {
  return fsetxattr(fd, name, value, size, 0, 0);
}
bool carried(const std::string&) {
  return true;
}
#else
ssize_t listAttributes(int fd, char* names, std::size_t size) {
  return flistxattr(fd, names, size);
}
ssize_t getAttribute(int fd, const char* name, void* value, std::size_t size) {
  return fgetxattr(fd, name, value, size);
}
int setAttribute(int fd, const char* name, const void* value, std::size_t size) {
  return fsetxattr(fd, name, value, size, 0);
}
bool carried(const std::string& name) {
  return name.compare(0, 5, "user.") == 0;
}
#endif

// An attribute that is not there (any more).
bool missing(int error) {
#if defined(ENOATTR)
  return error == ENOATTR;
#else
  return error == ENODATA;
#endif
}

// Reads a list or a value whose size may change between asking for it and
// reading it: asks again when it grew. Fails with the call's errno.
template <typename Call> Result<void> readGrowing(Call call, std::vector<char>& out) {
  int code = ERANGE;
  for (int attempt = 0; attempt < 5 && code == ERANGE; ++attempt) {
    const ssize_t size = call(nullptr, 0);
    if (size < 0) {
      return tl::make_unexpected(systemError(errno));
    }
    out.resize(static_cast<std::size_t>(size));
    const ssize_t got = call(out.data(), out.size());
    if (got >= 0) {
      out.resize(static_cast<std::size_t>(got));
      return {};
    }
    code = errno;
  }
  return tl::make_unexpected(systemError(code));
}

#endif

} // namespace

Result<std::vector<Error>> copyExtendedAttributes(int source, int target) {
  std::vector<Error> skipped;
#if defined(__linux__) || defined(__APPLE__)
  std::vector<char> names;
  if (auto listed =
          readGrowing([&](char* out, std::size_t size) { return listAttributes(source, out, size); }, names);
      !listed) {
    if (!unsupported(listed.error().code)) {
      return failure("the extended attributes", listed.error());
    }
    names.clear(); // the image's file system keeps none
  }
  std::vector<char> value;
  for (std::size_t at = 0; at < names.size();) {
    const std::string name(names.data() + at);
    at += name.size() + 1;
    if (name.empty() || !carried(name)) {
      continue;
    }
    auto read = readGrowing(
        [&](char* out, std::size_t size) { return getAttribute(source, name.c_str(), out, size); }, value);
    if (!read) {
      if (missing(read.error().code)) {
        continue; // removed since it was listed
      }
      return failure("the extended attribute '" + name + "'", read.error());
    }
    if (setAttribute(target, name.c_str(), value.data(), value.size()) != 0) {
      const int code = errno;
      if (!cannotTake(code)) {
        return failure("the extended attribute '" + name + "'", systemError(code));
      }
      skipped.push_back(leftOut("the extended attribute '" + name + "'", code));
    }
  }
#if defined(__APPLE__)
  // The ACL, which a clone carries too and which macOS keeps apart from the
  // attributes listed above.
  if (acl_t acl = acl_get_fd_np(source, ACL_TYPE_EXTENDED)) {
    const int set = acl_set_fd_np(target, acl, ACL_TYPE_EXTENDED);
    const int code = set == 0 ? 0 : errno;
    acl_free(acl);
    if (set != 0) {
      if (!cannotTake(code)) {
        return failure("the access control list", systemError(code));
      }
      skipped.push_back(leftOut("the access control list", code));
    }
  }
#endif
#else
  static_cast<void>(source);
  static_cast<void>(target);
#endif
#if defined(BRACKWELL_HAVE_FCHFLAGS)
  // The flags a clone is left with (AtomicFile::createClone).
  struct stat image {};
  if (fstat(source, &image) == 0 && keptFlags(image.st_flags) != 0 &&
      fchflags(target, keptFlags(image.st_flags)) != 0) {
    const int code = errno;
    if (!cannotTake(code)) {
      return failure("the file flags", systemError(code));
    }
    skipped.push_back(leftOut("the file flags", code));
  }
#endif
  return skipped;
}

bool mayClone(std::uint32_t fileFlags) {
  constexpr std::uint32_t uncloned = flags::IMMUTABLE | flags::APPEND | flags::SYSTEM_IMMUTABLE |
                                     flags::SYSTEM_APPEND | flags::NO_UNLINK | flags::COMPRESSED |
                                     flags::DATALESS;
  return (fileFlags & uncloned) == 0;
}

std::uint32_t keptFlags(std::uint32_t fileFlags) {
  return fileFlags & (flags::HIDDEN | flags::NODUMP);
}

} // namespace fileio
