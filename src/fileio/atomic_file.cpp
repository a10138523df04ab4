#include "fileio/atomic_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>
#include <utility>

#include "fileio/io.h"

#if defined(BRACKWELL_HAVE_FCLONEFILEAT)
#include <sys/clonefile.h>
#endif

namespace fileio {

namespace {

// The temporary file a signal handler must remove if the process is ended
// while it exists: its directory's descriptor and its name. Written only
// while the signals that end a run are held back (Hold), so a handler never
// sees them half-written.
constexpr std::size_t MAX_NAME = 256;
std::array<char, MAX_NAME> pendingName{};
volatile std::sig_atomic_t pendingDir = -1;

// Holds back SIGINT, SIGTERM and SIGHUP for as long as it lives: one that
// arrives meanwhile is delivered when it goes, once the temporary file it
// would have to remove is registered (or gone).
class Hold {
public:
  Hold() {
    sigset_t ending;
    sigemptyset(&ending);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
      sigaddset(&ending, signal);
    }
    sigprocmask(SIG_BLOCK, &ending, &saved_);
  }
  ~Hold() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

private:
  sigset_t saved_{};
};

void setPending(int dir, const std::string& name) {
  pendingDir = -1;
  if (name.size() < pendingName.size()) {
    std::copy(name.begin(), name.end(), pendingName.begin());
    pendingName[name.size()] = '\0';
    pendingDir = dir;
  }
}

void clearPending() {
  pendingDir = -1;
}

// The random part of a temporary name: six characters, as mkstemp's.
constexpr std::size_t RANDOM_PART = 6;
constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// Six unpredictable characters: a name that another account can guess is a
// name it can take first.
Result<std::string> randomPart() {
  std::array<unsigned char, RANDOM_PART> bytes{};
  if (getentropy(bytes.data(), bytes.size()) != 0) {
    const int error = errno;
    return failWith("cannot choose a temporary file name", error);
  }
  std::string part;
  for (const unsigned char byte : bytes) {
    part += ALPHABET[byte % (sizeof ALPHABET - 1)];
  }
  return part;
}

// `.<name>.<tag>-`, the temporary names' fixed part for the destination
// `name` (cut short to leave room in a 255-byte name).
std::string prefixFor(const std::string& name, const std::string& tag) {
  return "." + name.substr(0, 200) + "." + tag + "-";
}

bool isTemporaryName(const std::string& name, const std::string& prefix) {
  return name.size() == prefix.size() + RANDOM_PART && name.compare(0, prefix.size(), prefix) == 0 &&
         std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
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

// Whether `name` in `dir` still names the file open as `fd`: a run cleaning
// up leftovers may have removed the name between its creation and our lock.
bool stillNamed(int fd, int dir, const std::string& name) {
  struct stat open {};
  struct stat named {};
  return fstat(fd, &open) == 0 && fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         sameFile(open, named);
}

constexpr int CREATE_ATTEMPTS = 100;

} // namespace

AtomicFile::AtomicFile(const Place& destination, std::string tag)
    : dir_(fcntl(destination.dir.get(), F_DUPFD_CLOEXEC, 0)), dirError_(dir_.valid() ? 0 : errno),
      name_(destination.name), shown_(destination.path), tag_(std::move(tag)) {}

AtomicFile::~AtomicFile() {
  if (!committed_ && !temporary_.empty()) {
    const Hold hold;
    fd_.reset();
    unlinkat(dir_.get(), temporary_.c_str(), 0);
    clearPending();
  }
}

std::string AtomicFile::directory() const {
  const std::size_t slash = shown_.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : shown_.substr(0, slash);
}

Result<bool> AtomicFile::adopt(int fd, const std::string& name) {
  Fd file(fd);
  if (!lockForWork(file.get()) || !stillNamed(file.get(), dir_.get(), name)) {
    // Another run's clean-up got to this name first and is removing it: the
    // name is no longer ours to remove.
    temporary_.clear();
    clearPending();
    return false;
  }
  Fd lock(fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
  if (!lock.valid()) {
    const int error = errno;
    return failWith("cannot create the new file next to '" + shown_ + "'", error);
  }
  fd_ = std::move(file);
  lock_ = std::move(lock);
  return true;
}

Result<void> AtomicFile::create() {
  if (!dir_.valid()) {
    return failWith("cannot create the new file next to '" + shown_ + "'", dirError_);
  }
  for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
    auto random = randomPart();
    if (!random) {
      return tl::make_unexpected(random.error());
    }
    const std::string name = prefixFor(name_, tag_) + *random;
    int fd = -1;
    {
      const Hold hold;
      fd = openat(dir_.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd < 0) {
        const int error = errno;
        if (error == EEXIST) {
          continue;
        }
        return failWith("cannot create the new file next to '" + shown_ + "'", error);
      }
      temporary_ = name;
      setPending(dir_.get(), name);
    }
    auto adopted = adopt(fd, name);
    if (!adopted) {
      return tl::make_unexpected(adopted.error());
    }
    if (*adopted) {
      return {};
    }
  }
  return fail("cannot create the new file next to '" + shown_ + "': every name tried was taken", EEXIST);
}

#if defined(BRACKWELL_HAVE_FCLONEFILEAT)
bool AtomicFile::createClone(int source) {
  if (!dir_.valid()) {
    return false;
  }
  for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
    auto random = randomPart();
    if (!random) {
      return false;
    }
    const std::string name = prefixFor(name_, tag_) + *random;
    {
      const Hold hold;
      // fclonefileat makes the file itself, exclusively, and never through
      // a link at its name. The clone carries the source's mode, extended
      // attributes and ACL, and (run as root) its owner too unless told not
      // to: the new file is the runner's, like any other it creates, and its
      // owner is the caller's decision.
      if (fclonefileat(source, dir_.get(), name.c_str(), CLONE_NOOWNERCOPY) != 0) {
        if (errno == EEXIST) {
          continue;
        }
        return false;
      }
      temporary_ = name;
      setPending(dir_.get(), name);
    }
    const int fd = openat(dir_.get(), name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      const Hold hold;
      unlinkat(dir_.get(), name.c_str(), 0);
      temporary_.clear();
      clearPending();
      return false;
    }
    auto adopted = adopt(fd, name);
    if (!adopted) {
      return false; // the destructor removes it
    }
    if (*adopted) {
      return true;
    }
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

} // namespace

Result<void> AtomicFile::flush() {
  if (!flushToDisk(fd_.get()) || !fd_.closeChecked()) {
    const int error = errno;
    return failWith("cannot flush the new file to disk", error);
  }
  return {};
}

Result<void> AtomicFile::commit() {
  {
    const Hold hold;
    if (renameat(dir_.get(), temporary_.c_str(), dir_.get(), name_.c_str()) != 0) {
      const int error = errno;
      return failWith("cannot rename the new file to '" + shown_ + "'", error);
    }
    committed_ = true;
    clearPending();
  }
  // Makes the rename durable. Some file systems cannot sync a directory; the
  // new file is in place either way, so this is best effort.
  fsync(dir_.get());
  lock_.reset();
  return {};
}

std::vector<std::string> removeLeftovers(const Place& destination, const std::string& tag,
                                         const std::vector<struct stat>& keep) {
  std::vector<std::string> removed;
  const int dir = destination.dir.get();
  const std::string prefix = prefixFor(destination.name, tag);
  // readdir needs a descriptor of its own: closedir closes it.
  DIR* entries = fdopendir(fcntl(dir, F_DUPFD_CLOEXEC, 0));
  if (entries == nullptr) {
    return removed; // an unreadable directory keeps what it holds
  }
  rewinddir(entries);
  std::vector<std::string> candidates;
  while (const dirent* entry = readdir(entries)) {
    if (isTemporaryName(entry->d_name, prefix)) {
      candidates.emplace_back(entry->d_name);
    }
  }
  closedir(entries);

  const std::string directory = destination.directory();
  for (const std::string& name : candidates) {
    // Only our own regular files with no other name, never through a link,
    // never a device whose opening could have effects of its own, and never
    // a file the run was given.
    const Fd fd(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (!fd.valid() || fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_uid != geteuid() || opened.st_nlink != 1 ||
        std::any_of(keep.begin(), keep.end(),
                    [&](const struct stat& kept) { return sameFile(kept, opened); })) {
      continue;
    }
    // A run still assembling this file holds its lock; a file system
    // without locks cannot tell, so its files are left alone.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      continue;
    }
    if (stillNamed(fd.get(), dir, name) && unlinkat(dir, name.c_str(), 0) == 0) {
      removed.push_back((directory == "/" ? "" : directory) + "/" + name);
    }
  }
  std::sort(removed.begin(), removed.end());
  return removed;
}

void discardPendingFile() {
  const int dir = pendingDir;
  if (dir >= 0) {
    unlinkat(dir, pendingName.data(), 0);
  }
}

} // namespace fileio
