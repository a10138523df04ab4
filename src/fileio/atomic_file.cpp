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

#include "fileio/attributes.h"
#include "fileio/io.h"

#if defined(BRACKWELL_HAVE_FCLONEFILEAT)
#include <sys/acl.h>
#include <sys/clonefile.h>
// Copy the source's ACL too (macOS 13 and later; the headers of older SDKs
// lack the name). macOS 12 refuses the flag with EINVAL.
#if !defined(CLONE_ACL)
#define CLONE_ACL 0x0004
#endif
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

// How much of the destination's name a temporary name keeps: room is left
// for the rest in a name of 255 bytes.
constexpr std::size_t KEPT_OF_NAME = 200;

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

std::string temporaryPrefix(const std::string& name, const std::string& tag) {
  std::size_t kept = std::min(name.size(), KEPT_OF_NAME);
  // A cut that falls inside a character moves back to its first byte: the
  // bytes after the first are 10xxxxxx, at most three of them.
  for (int back = 0;
       back < 3 && kept > 0 && kept < name.size() && (static_cast<unsigned char>(name[kept]) & 0xc0) == 0x80;
       ++back) {
    --kept;
  }
  return "." + name.substr(0, kept) + "." + tag + "-";
}

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
    const std::string name = temporaryPrefix(name_, tag_) + *random;
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
namespace {

// Whether `fd` carries an ACL of its own. When that cannot be told, it is
// taken to carry one.
bool hasAccessControlList(int fd) {
  acl_t acl = acl_get_fd_np(fd, ACL_TYPE_EXTENDED);
  if (acl == nullptr) {
    return errno != ENOENT;
  }
  acl_free(acl);
  return true;
}

// Clones `source` as `name` in `dir`. fclonefileat makes the file itself,
// exclusively, and never through a link at its name. The clone carries the
// source's mode, extended attributes and file flags; its ACL only when
// asked (CLONE_ACL; without it the clone takes the directory's inherited
// entries instead); and (run as root) its owner too unless told not to: the
// new file is the runner's, like any other it creates, and its owner is the
// caller's decision. A system that refuses CLONE_ACL (EINVAL: macOS 12)
// clones without it only a source with no ACL to lose; otherwise the call
// fails, and the caller copies through a buffer, which carries the ACL.
int cloneAs(int source, int dir, const char* name) {
  if (fclonefileat(source, dir, name, CLONE_NOOWNERCOPY | CLONE_ACL) == 0) {
    return 0;
  }
  const int error = errno;
  if (error == EINVAL && !hasAccessControlList(source)) {
    return fclonefileat(source, dir, name, CLONE_NOOWNERCOPY);
  }
  errno = error;
  return -1;
}

// Opens the clone `name` for writing, first clearing the flags a new image
// does not keep (keptFlags). Not cloning an image with flags that lock it
// (mayClone) keeps them off the clone; these are the others, and any the
// image was given since it was looked at: a descriptor for reading can be
// had even to a locked file, and clears its lock before anything else
// needs to write or remove it. -1 when that fails.
int openClone(int dir, const std::string& name) {
  const Fd readable(openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat clone {};
  if (!readable.valid() || fstat(readable.get(), &clone) != 0) {
    return -1;
  }
  if (clone.st_flags != keptFlags(clone.st_flags) &&
      fchflags(readable.get(), keptFlags(clone.st_flags)) != 0) {
    return -1;
  }
  return openat(dir, name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
}

} // namespace

bool AtomicFile::createClone(int source) {
  struct stat image {};
  if (!dir_.valid() || fstat(source, &image) != 0 || !mayClone(image.st_flags)) {
    return false;
  }
  for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
    auto random = randomPart();
    if (!random) {
      return false;
    }
    const std::string name = temporaryPrefix(name_, tag_) + *random;
    {
      const Hold hold;
      if (cloneAs(source, dir_.get(), name.c_str()) != 0) {
        if (errno == EEXIST) {
          continue;
        }
        return false;
      }
      temporary_ = name;
      setPending(dir_.get(), name);
    }
    const int fd = openClone(dir_.get(), name);
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

// Writes a file's data, or a directory's entries, through to the storage
// device. macOS's fsync only hands them to the drive, which "may not
// physically write the data to the platters for quite some time"
// (fsync(2)); F_FULLFSYNC asks the drive to store them. A file system that
// refuses it (some network and FAT volumes) gets fsync.
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
  // Makes the rename durable, as far as the drive is concerned too. Some
  // file systems cannot sync a directory; the new file is in place either
  // way, so this is best effort.
  flushToDisk(dir_.get());
  lock_.reset();
  return {};
}

std::vector<std::string> removeLeftovers(const Place& destination, const std::string& tag,
                                         const std::vector<struct stat>& keep) {
  std::vector<std::string> removed;
  const int dir = destination.dir.get();
  const std::string prefix = temporaryPrefix(destination.name, tag);
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
