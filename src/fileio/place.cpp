#include "fileio/place.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "fileio/io.h"

#if defined(__linux__)
#include <sys/vfs.h>
#elif defined(__APPLE__)
#include <sys/mount.h>
#endif

namespace fileio {

namespace {

// Links followed at one path's last component before giving up with ELOOP,
// as the kernel does (macOS stops at 32, Linux at 40).
constexpr int MAX_LINKS = 32;

struct Split {
  std::string dir;
  std::string name;
};

// "a/b" -> ("a", "b"), "b" -> (".", "b"), "/b" -> ("/", "b").
Split split(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return {".", path};
  }
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Whether `dir` is on Linux's /proc, whose links to open descriptors
// (/proc/self/fd/N, where /dev/stdout leads) name no path that could be
// followed by hand.
bool onProcfs(int dir) {
#if defined(__linux__)
  constexpr long PROC_SUPER_MAGIC_NUMBER = 0x9fa0;
  struct statfs info {};
  return fstatfs(dir, &info) == 0 && static_cast<long>(info.f_type) == PROC_SUPER_MAGIC_NUMBER;
#else
  static_cast<void>(dir);
  return false;
#endif
}

// Whether `dir` is macOS's /dev/fd, a directory of devfs whose node N opens
// as a duplicate of descriptor N. A look at the node shows the descriptor's
// file, but with devfs's device number in place of that file's own (xnu's
// vnode_getattr overwrites it), so the name never matches the opened file
// as an ordinary name does.
bool onDescriptorDirectory(int dir) {
#if defined(__APPLE__)
  struct statfs system {};
  struct stat opened {};
  struct stat devFd {};
  return fstatfs(dir, &system) == 0 && std::strcmp(system.f_fstypename, "devfs") == 0 &&
         fstat(dir, &opened) == 0 && stat("/dev/fd", &devFd) == 0 && sameFile(opened, devFd);
#else
  static_cast<void>(dir);
  return false;
#endif
}

Result<std::string> readLink(int dir, const std::string& name, const std::string& shown) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = readlinkat(dir, name.c_str(), buffer.data(), buffer.size());
    if (length < 0) {
      const int error = errno;
      return failWith("cannot read the symbolic link " + quoted(shown), error);
    }
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

// `target`, read from a link in the directory shown as `directory`, as a
// path the user can find.
std::string shownTarget(const std::string& directory, const std::string& target) {
  if (!target.empty() && target[0] == '/') {
    return target;
  }
  return directory == "/" ? "/" + target : directory + "/" + target;
}

} // namespace

bool isShared(const struct stat& directory) {
  return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
}

bool trustedIn(const struct stat& entry, const struct stat& directory) {
  return entry.st_uid == geteuid() || entry.st_uid == directory.st_uid;
}

std::string Place::directory() const {
  return split(path).dir;
}

Result<Place> placeOf(const std::string& path) {
  std::string current = path; // what is left to resolve, relative to `base`
  std::string shown = path;   // the same, as the user would write it
  Fd base;                    // the directory of the last link followed; the working directory at first
  for (int links = 0;; ++links) {
    if (current.empty()) {
      return failWith("cannot open " + quoted(shown), ENOENT);
    }
    const Split parts = split(current);
    if (parts.name.empty() || parts.name == "." || parts.name == "..") {
      return failWith(quoted(shown) + " names a directory", EISDIR);
    }
    Place place;
    place.path = shown;
    place.name = parts.name;
    place.dir.reset(
        openat(base.valid() ? base.get() : AT_FDCWD, parts.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!place.dir.valid() || fstat(place.dir.get(), &place.dirInfo) != 0) {
      const int error = errno;
      return failWith("cannot open the directory of " + quoted(shown), error);
    }
    if (fstatat(place.dir.get(), place.name.c_str(), &place.info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) {
        const int error = errno;
        return failWith("cannot examine " + quoted(shown), error);
      }
      return place;
    }
    place.exists = true;
    if (!S_ISLNK(place.info.st_mode)) {
      if (onDescriptorDirectory(place.dir.get())) {
        place.kernelLink = true;
        place.duplicate = true;
      }
      return place;
    }
    if (place.shared() && !trustedIn(place.info, place.dirInfo)) {
      return fail(quoted(shown) + " is a symbolic link that another user (uid " +
                      std::to_string(place.info.st_uid) + ") made in the shared directory " +
                      quoted(place.directory()) + "; it is not followed",
                  EACCES);
    }
    // Its owner says nothing once anyone may have hard-linked it here.
    if (place.shared() && place.info.st_nlink > 1) {
      return fail(quoted(shown) + " is a symbolic link with " + std::to_string(place.info.st_nlink) +
                      " links in the shared directory " + quoted(place.directory()) +
                      "; a symbolic link with more than one link there is not followed",
                  EACCES);
    }
    if (onProcfs(place.dir.get())) {
      place.kernelLink = true;
      return place;
    }
    if (links == MAX_LINKS) {
      return failWith("cannot follow " + quoted(path), ELOOP);
    }
    auto target = readLink(place.dir.get(), place.name, shown);
    if (!target) {
      return tl::make_unexpected(target.error());
    }
    shown = shownTarget(place.directory(), *target);
    current = std::move(*target);
    base = std::move(place.dir);
  }
}

Result<void> checkShared(const Place& place, const struct stat& info) {
  if (!place.shared()) {
    return {};
  }
  if ((S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode)) && !trustedIn(info, place.dirInfo)) {
    return fail(quoted(place.path) + " belongs to another user (uid " + std::to_string(info.st_uid) +
                    ") in the shared directory " + quoted(place.directory()) + "; it is not used",
                EACCES);
  }
  if (S_ISREG(info.st_mode) && info.st_nlink > 1) {
    return fail(quoted(place.path) + " has " + std::to_string(info.st_nlink) +
                    " links in the shared directory " + quoted(place.directory()) +
                    "; a file with more than one link there is not used",
                EACCES);
  }
  return {};
}

} // namespace fileio
