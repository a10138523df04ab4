#include "fileio/atomic_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include "fileio/io.h"

#if defined(BRACKWELL_HAVE_FCLONEFILEAT)
#include <sys/clonefile.h>
#endif

namespace fileio {

namespace {

// The temporary file a signal handler must remove if the process is ended
// while it exists. Written only outside handlers; `pendingSet` guards it.
std::array<char, 8192> pendingPath{};
volatile std::sig_atomic_t pendingSet = 0;

void setPending(const std::string& path) {
  pendingSet = 0;
  if (path.size() < pendingPath.size()) {
    std::copy(path.begin(), path.end(), pendingPath.begin());
    pendingPath[path.size()] = '\0';
    pendingSet = 1;
  }
}

void clearPending() {
  pendingSet = 0;
}

// mkstemp's six characters.
constexpr std::size_t RANDOM_PART = 6;

// Whether `name` is `.<something>.<tag>-XXXXXX`.
bool isTemporaryName(const std::string& name, const std::string& tag) {
  const std::string middle = "." + tag + "-";
  if (name.size() < 2 + middle.size() + RANDOM_PART || name[0] != '.') {
    return false;
  }
  const std::size_t randomAt = name.size() - RANDOM_PART;
  if (name.compare(randomAt - middle.size(), middle.size(), middle) != 0 || randomAt - middle.size() < 2) {
    return false;
  }
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(randomAt), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// Takes the lock that tells other runs this file is being worked on. False
// only when another process holds it; a file system without locks lets the
// file go unlocked (other runs cannot lock it either, so they leave it alone).
bool lockForWork(int fd) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return false;
    }
    if (errno != EINTR) {
      return true;
    }
  }
  return true;
}

// Whether `path` still names the file open as `fd`: a run cleaning up
// leftovers may have removed the name between its creation and our lock.
bool stillNamed(int fd, const std::string& path) {
  struct stat open {};
  struct stat named {};
  return fstat(fd, &open) == 0 && lstat(path.c_str(), &named) == 0 && sameFile(open, named);
}

constexpr int CREATE_ATTEMPTS = 100;

} // namespace

AtomicFile::AtomicFile(std::string destination, std::string tag)
    : destination_(std::move(destination)), tag_(std::move(tag)) {}

AtomicFile::~AtomicFile() {
  if (!committed_ && !path_.empty()) {
    fd_.reset();
    unlink(path_.c_str());
    clearPending();
  }
}

std::string AtomicFile::directory() const {
  const std::filesystem::path parent = std::filesystem::path(destination_).parent_path();
  return parent.empty() ? "." : parent.string();
}

std::string AtomicFile::pattern() const {
  std::string base = std::filesystem::path(destination_).filename().string();
  base.resize(std::min<std::size_t>(base.size(), 200)); // leave room in a 255-byte name
  const std::string dir = directory();
  return (dir == "/" ? "" : dir) + "/." + base + "." + tag_ + "-XXXXXX";
}

bool AtomicFile::adopt(int fd, const std::string& name) {
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (!lockForWork(fd) || !stillNamed(fd, name)) {
    // Another run's clean-up got to this name first and is removing it.
    close(fd);
    return false;
  }
  const int lock = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (lock < 0) {
    close(fd);
    unlink(name.c_str());
    return false;
  }
  fd_.reset(fd);
  lock_.reset(lock);
  path_ = name;
  setPending(path_);
  return true;
}

bool AtomicFile::create(std::string& error) {
  for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
    std::string name = pattern();
    const int fd = mkstemp(name.data());
    if (fd < 0) {
      error = "cannot create a temporary file in '" + directory() + "': " + errorText(errno);
      return false;
    }
    if (adopt(fd, name)) {
      return true;
    }
  }
  error = "cannot create a temporary file in '" + directory() + "' that stays in place";
  return false;
}

#if defined(BRACKWELL_HAVE_FCLONEFILEAT)
bool AtomicFile::createClone(int source) {
  for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
    // clonefile makes the file itself, so the name comes from mkstemp and is
    // freed just before.
    std::string name = pattern();
    const int placeholder = mkstemp(name.data());
    if (placeholder < 0) {
      return false;
    }
    close(placeholder);
    unlink(name.c_str());
    setPending(name);
    // The clone carries the source's mode, extended attributes and ACL, and
    // (run as root) its owner too unless told not to: the new file is the
    // runner's, like any other it creates, and its owner is the caller's
    // decision.
    if (fclonefileat(source, AT_FDCWD, name.c_str(), CLONE_NOOWNERCOPY) != 0) {
      clearPending();
      return false;
    }
    const int fd = open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      unlink(name.c_str());
      clearPending();
      return false;
    }
    if (adopt(fd, name)) {
      return true;
    }
    clearPending();
  }
  return false;
}
#else
bool AtomicFile::createClone(int) {
  return false;
}
#endif

namespace {

// Writes the file's data through to the storage device. macOS's fsync only
// hands it to the drive; F_FULLFSYNC asks the drive to store it.
bool flushToDisk(int fd) {
#if defined(F_FULLFSYNC)
  if (fcntl(fd, F_FULLFSYNC) == 0) {
    return true;
  }
#endif
  return fsync(fd) == 0;
}

// Makes a rename durable. Some file systems cannot sync a directory; the
// new file is in place either way, so this is best effort.
void flushDirectory(const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

} // namespace

bool AtomicFile::flush() {
  return flushToDisk(fd_.get()) && fd_.closeChecked();
}

bool AtomicFile::commit() {
  if (rename(path_.c_str(), destination_.c_str()) != 0) {
    return false;
  }
  committed_ = true;
  clearPending();
  flushDirectory(directory());
  lock_.reset();
  return true;
}

std::vector<std::string> removeLeftovers(const std::string& directory, const std::string& tag) {
  std::vector<std::string> removed;
  std::error_code error;
  std::filesystem::directory_iterator entries(directory, error);
  if (error) {
    return removed; // an unreadable directory keeps what it holds
  }
  for (const std::filesystem::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (!isTemporaryName(name, tag)) {
      continue;
    }
    const std::string path = entry.path().string();
    // Only regular files, never through a link, and never a device whose
    // opening could have effects of its own.
    struct stat named {};
    if (lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) {
      continue;
    }
    const Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (!fd.valid() || fstat(fd.get(), &opened) != 0 || !sameFile(named, opened)) {
      continue;
    }
    // A run still assembling this file holds its lock; a file system
    // without locks cannot tell, so its files are left alone.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      continue;
    }
    if (stillNamed(fd.get(), path) && unlink(path.c_str()) == 0) {
      removed.push_back(path);
    }
  }
  std::sort(removed.begin(), removed.end());
  return removed;
}

void discardPendingFile() {
  if (pendingSet != 0) {
    unlink(pendingPath.data());
  }
}

} // namespace fileio
