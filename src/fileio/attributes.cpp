#include "fileio/attributes.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/types.h>
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

namespace {

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

// A file system that keeps no extended attributes.
bool unsupported(int error) {
  return error == ENOTSUP || error == EOPNOTSUPP;
}

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

tl::unexpected<Error> failure(const std::string& what, const Error& cause) {
  return tl::make_unexpected(cause.within("cannot carry over " + what + " of the image"));
}

#endif

} // namespace

Result<void> copyExtendedAttributes(int source, int target) {
#if defined(__linux__) || defined(__APPLE__)
  std::vector<char> names;
  if (auto listed =
          readGrowing([&](char* out, std::size_t size) { return listAttributes(source, out, size); }, names);
      !listed) {
    if (unsupported(listed.error().code)) {
      return {};
    }
    return failure("the extended attributes", listed.error());
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
    if (!read && missing(read.error().code)) {
      continue; // removed since it was listed
    }
    if (read && setAttribute(target, name.c_str(), value.data(), value.size()) != 0) {
      read = tl::make_unexpected(systemError(errno));
    }
    if (!read) {
      if (unsupported(read.error().code)) {
        return {}; // the new file's file system keeps none
      }
      return failure("the extended attribute '" + name + "'", read.error());
    }
  }
#if defined(__APPLE__)
  // The ACL, which a clone carries too and which macOS keeps apart from the
  // attributes listed above.
  if (acl_t acl = acl_get_fd_np(source, ACL_TYPE_EXTENDED)) {
    const int set = acl_set_fd_np(target, acl, ACL_TYPE_EXTENDED);
    const int code = set == 0 ? 0 : errno;
    acl_free(acl);
    if (set != 0 && !unsupported(code)) {
      return failure("the access control list", systemError(code));
    }
  }
#endif
#else
  static_cast<void>(source);
  static_cast<void>(target);
#endif
  return {};
}

} // namespace fileio
