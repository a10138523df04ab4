#include "profile/profile_stamp.h"

#include "profile/file_handle.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#if defined(BRACKWELL_HAVE_FICLONE)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#if defined(BRACKWELL_HAVE_FCLONEFILEAT)
#include <sys/clonefile.h>
#endif

namespace profile_stamp {

namespace {

using profile_trailer::DESCRIPTOR_SIZE;
using profile_trailer::FileHandle;
using profile_trailer::Location;
using profile_trailer::Status;
using profile_trailer::TRAILER_SIZE;

constexpr std::size_t BUFFER_SIZE = 1 << 20;

std::string errorText(int error) {
  return error != 0 ? std::strerror(error) : "unexpected end of file";
}

std::uint64_t bigEndian64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    value = value << 8 | bytes[i];
  }
  return value;
}

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

// The new file, next to its destination. Until commit() it is removed
// whenever the object goes away, so no failure leaves it behind.
class TemporaryFile {
public:
  explicit TemporaryFile(const std::string& destination) : destination_(destination) {}
  ~TemporaryFile() {
    if (!committed_ && !path_.empty()) {
      fd_.reset();
      unlink(path_.c_str());
      clearPending();
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates an empty file with a fresh name and opens it for writing.
  bool create(std::string& error) {
    std::vector<char> name = pattern();
    const int fd = mkstemp(name.data());
    if (fd < 0) {
      error = "cannot create a temporary file in '" + directory() + "': " + errorText(errno);
      return false;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    adopt(fd, name.data());
    return true;
  }

#if defined(BRACKWELL_HAVE_FCLONEFILEAT)
  // A copy-on-write clone of `source` under a fresh name. clonefile makes the
  // file itself, so the name comes from mkstemp and is freed just before.
  bool cloneFrom(int source) {
    std::vector<char> name = pattern();
    const int fd = mkstemp(name.data());
    if (fd < 0) {
      return false;
    }
    close(fd);
    unlink(name.data());
    setPending(name.data());
    if (fclonefileat(source, AT_FDCWD, name.data(), 0) != 0) {
      clearPending();
      return false;
    }
    const int opened = open(name.data(), O_WRONLY | O_CLOEXEC);
    if (opened < 0) {
      unlink(name.data());
      clearPending();
      return false;
    }
    adopt(opened, name.data());
    return true;
  }
#endif

  int fd() const {
    return fd_.get();
  }
  const std::string& path() const {
    return path_;
  }
  bool closeChecked() {
    return fd_.close_checked();
  }
  void commit() {
    committed_ = true;
    clearPending();
  }

  std::string directory() const {
    const std::size_t slash = destination_.rfind('/');
    if (slash == std::string::npos) {
      return ".";
    }
    return slash == 0 ? "/" : destination_.substr(0, slash);
  }

private:
  std::vector<char> pattern() const {
    const std::size_t slash = destination_.rfind('/');
    std::string base = slash == std::string::npos ? destination_ : destination_.substr(slash + 1);
    base.resize(std::min<std::size_t>(base.size(), 200)); // leave room in a 255-byte name
    const std::string text = directory() + "/." + base + ".stamp-XXXXXX";
    std::vector<char> name(text.begin(), text.end());
    name.push_back('\0');
    return name;
  }

  void adopt(int fd, const char* name) {
    fd_.reset(fd);
    path_ = name;
    setPending(path_);
  }

  std::string destination_;
  std::string path_;
  FileHandle fd_;
  bool committed_ = false;
};

bool writeAllAt(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      if (wrote == 0) {
        errno = EIO;
      }
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// Copies [from, length) of `source` to the same offsets of `target` through a
// buffer.
bool streamCopy(int source, int target, std::uint64_t from, std::uint64_t length, std::string& error) {
  std::vector<std::uint8_t> buffer(BUFFER_SIZE);
  for (std::uint64_t at = from; at < length;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - at));
    const std::size_t got = profile_trailer::readAt(source, at, buffer.data(), want);
    if (got != want) {
      error = "cannot read the image: " + errorText(errno);
      return false;
    }
    if (!writeAllAt(target, buffer.data(), got, at)) {
      error = "cannot write the new image: " + errorText(errno);
      return false;
    }
    at += got;
  }
  return true;
}

#if defined(BRACKWELL_HAVE_COPY_FILE_RANGE)
// Errors that say the kernel will not copy between these two files (another
// file system, no support); the streamed copy may still succeed.
bool kernelCopyUnavailable(int error) {
  return error == ENOSYS || error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOTSUP ||
         error == EBADF || error == ETXTBSY;
}
#endif

// Fills `target` (empty, or a clone already cut to `length`) with the first
// `length` bytes of `source`.
bool copyPrefix(int source, int target, std::uint64_t length, CopyLimit limit, CopyMethod& method,
                std::string& error) {
  std::uint64_t done = 0;
#if defined(BRACKWELL_HAVE_FICLONE)
  // FICLONE shares the whole file's extents; cutting the clone back to the
  // insertion point keeps exactly the bytes in front of it.
  if (limit == CopyLimit::cheapest && ioctl(target, FICLONE, source) == 0) {
    if (ftruncate(target, static_cast<off_t>(length)) != 0) {
      error = "cannot cut the cloned image: " + errorText(errno);
      return false;
    }
    method = CopyMethod::clone;
    return true;
  }
#endif
#if defined(BRACKWELL_HAVE_COPY_FILE_RANGE)
  if (limit != CopyLimit::stream) {
    loff_t in = 0;
    loff_t out = 0;
    while (done < length) {
      const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, 1u << 30));
      const ssize_t copied = copy_file_range(source, &in, target, &out, chunk, 0);
      if (copied < 0 && errno == EINTR) {
        continue;
      }
      if (copied < 0 && kernelCopyUnavailable(errno)) {
        break; // the rest goes through the buffer
      }
      if (copied <= 0) {
        error = copied == 0 ? "cannot read the image: it ended early"
                            : "cannot copy the image: " + errorText(errno);
        return false;
      }
      done += static_cast<std::uint64_t>(copied);
    }
    if (done == length) {
      method = CopyMethod::copy_file_range;
      return true;
    }
  }
#endif
  (void)limit;
  method = CopyMethod::stream;
  return streamCopy(source, target, done, length, error);
}

// Appends the profile read from `profileFd` at `offset`; its length goes to
// `length`. Streams, so a long profile costs no memory and a too long one is
// refused after at most 4 GiB.
Failure appendProfile(int profileFd, int target, std::uint64_t offset, std::uint64_t& length,
                      std::string& error) {
  std::vector<std::uint8_t> buffer(BUFFER_SIZE);
  length = 0;
  for (;;) {
    const ssize_t got = read(profileFd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      error = "cannot read the profile: " + errorText(errno);
      return Failure::profile_unreadable;
    }
    if (got == 0) {
      return Failure::none;
    }
    const auto size = static_cast<std::size_t>(got);
    if (length + size > MAX_PROFILE_LENGTH) {
      error = "the profile is longer than " + std::to_string(MAX_PROFILE_LENGTH) +
              " bytes, the most its 32-bit length field can describe";
      return Failure::profile_too_long;
    }
    if (!writeAllAt(target, buffer.data(), size, offset + length)) {
      error = "cannot write the new image: " + errorText(errno);
      return Failure::write_failed;
    }
    length += size;
  }
}

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

// Makes the rename itself durable. Some file systems cannot sync a
// directory; the new image is in place either way, so this is best effort.
void flushDirectory(const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

Outcome failed(Outcome outcome, Failure failure, std::string message) {
  outcome.failure = failure;
  outcome.message = std::move(message);
  return outcome;
}

// What a write or a removal produces: the image's first `keep` bytes, then
// (when `profileFd` >= 0) the profile and its descriptor, then the trailer.
struct Plan {
  std::string image;
  int source = -1;
  struct stat before {};
  Inspection inspection;
  std::array<std::uint8_t, TRAILER_SIZE> trailer{};
  std::uint64_t keep = 0;
  int profileFd = -1;
};

// Opens the image, checks it is a regular file ending in a trailer and
// reads what writing and removing need to know about it.
Failure openImage(const std::string& image, FileHandle& file, Plan& plan, std::string& error) {
  file.reset(open(image.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0 || fstat(file.get(), &plan.before) != 0) {
    error = "cannot open image '" + image + "': " + errorText(errno);
    return Failure::image_unreadable;
  }
  if (!S_ISREG(plan.before.st_mode)) {
    error = "'" + image + "' is not a regular file";
    return Failure::not_a_regular_file;
  }
  plan.image = image;
  plan.source = file.get();
  plan.inspection = inspect(file.get());
  const Location& location = plan.inspection.location;
  if (location.status == Status::no_trailer) {
    error = "'" + image + "' does not end in a 512-byte UDIF trailer ('koly' block not found)";
    return Failure::no_trailer;
  }
  const std::uint64_t trailerAt = location.fileSize - TRAILER_SIZE;
  if (profile_trailer::readAt(file.get(), trailerAt, plan.trailer.data(), plan.trailer.size()) !=
      plan.trailer.size()) {
    error = "cannot read the trailer of '" + image + "': " + errorText(errno);
    return Failure::image_unreadable;
  }
  if (location.status == Status::length_too_large) {
    // Type and magic match, so this is a descriptor, but it cannot say
    // where its profile starts: neither a new profile nor a removal can
    // leave a consistent image behind.
    error = "'" + image + "' carries a damaged profile descriptor: " + profile_trailer::describe(location);
    return Failure::damaged_descriptor;
  }
  return Failure::none;
}

// Where the new file goes: the image's own file (through symbolic links,
// which stay links) or the output path.
Failure destinationOf(const Plan& plan, const Options& options, std::string& destination,
                      std::string& error) {
  const std::string& wanted = options.out.empty() ? plan.image : options.out;
  struct stat st {};
  if (stat(wanted.c_str(), &st) == 0) {
    if (!options.out.empty() && st.st_dev == plan.before.st_dev && st.st_ino == plan.before.st_ino) {
      error = "the output '" + options.out + "' is the image itself";
      return Failure::output_is_image;
    }
    if (options.out.empty() && (st.st_dev != plan.before.st_dev || st.st_ino != plan.before.st_ino)) {
      // Renamed or replaced since it was opened: the copy is of another file.
      error = "the image '" + plan.image + "' was replaced while it was being read";
      return Failure::image_changed;
    }
    if (!S_ISREG(st.st_mode)) {
      error = "the output '" + wanted + "' exists and is not a regular file";
      return Failure::output_unusable;
    }
    char* resolved = realpath(wanted.c_str(), nullptr);
    if (resolved == nullptr) {
      error = "cannot resolve '" + wanted + "': " + errorText(errno);
      return Failure::output_unusable;
    }
    destination = resolved;
    std::free(resolved);
    return Failure::none;
  }
  if (options.out.empty()) {
    error = "the image '" + plan.image + "' was removed while it was being read";
    return Failure::image_changed;
  }
  if (wanted.empty() || wanted.back() == '/') {
    error = "the output '" + wanted + "' names a directory";
    return Failure::output_unusable;
  }
  destination = wanted;
  return Failure::none;
}

// Assembles the new file from `plan` and renames it over the destination.
Outcome assemble(const Plan& plan, const Options& options, Outcome outcome) {
  std::string error;
  std::string destination;
  if (const Failure failure = destinationOf(plan, options, destination, error); failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  TemporaryFile temp(destination);
  outcome.copiedBytes = plan.keep;
  bool cloned = false;
#if defined(BRACKWELL_HAVE_FCLONEFILEAT)
  if (options.copy == CopyLimit::cheapest && temp.cloneFrom(plan.source)) {
    if (ftruncate(temp.fd(), static_cast<off_t>(plan.keep)) != 0) {
      return failed(outcome, Failure::write_failed, "cannot cut the cloned image: " + errorText(errno));
    }
    outcome.copy = CopyMethod::clone;
    cloned = true;
  }
#endif
  if (!cloned) {
    if (!temp.create(error)) {
      return failed(outcome, Failure::write_failed, error);
    }
    if (!copyPrefix(plan.source, temp.fd(), plan.keep, options.copy, outcome.copy, error)) {
      return failed(outcome, Failure::write_failed, error);
    }
  }

  std::uint64_t end = plan.keep;
  if (plan.profileFd >= 0) {
    std::uint64_t length = 0;
    if (const Failure failure = appendProfile(plan.profileFd, temp.fd(), end, length, error);
        failure != Failure::none) {
      return failed(outcome, failure, error);
    }
    const auto descriptor = profile_trailer::encodeDescriptor(static_cast<std::uint32_t>(length));
    if (!writeAllAt(temp.fd(), descriptor.data(), descriptor.size(), end + length)) {
      return failed(outcome, Failure::write_failed, "cannot write the new image: " + errorText(errno));
    }
    outcome.profileOffset = end;
    outcome.profileLength = length;
    end += length + DESCRIPTOR_SIZE;
  }
  if (!writeAllAt(temp.fd(), plan.trailer.data(), plan.trailer.size(), end)) {
    return failed(outcome, Failure::write_failed, "cannot write the new image: " + errorText(errno));
  }
  end += TRAILER_SIZE;

  // Read the result back the way brackwell will before it replaces anything.
  const Location written = profile_trailer::locate(temp.fd());
  const bool readsBack = plan.profileFd >= 0 ? written.status == Status::ok &&
                                                   written.profileOffset == outcome.profileOffset &&
                                                   written.length == outcome.profileLength
                                             : written.status != Status::no_trailer;
  if (!readsBack || written.fileSize != end) {
    return failed(outcome, Failure::write_failed, "the new image does not read back as written");
  }

  // An in-place result is the same file to its owner: same owner where we
  // may set it (chown clears set-id bits, so it goes first), same mode. A
  // new output is like a copy: the image's mode within the umask.
  if (options.out.empty()) {
    struct stat now {};
    if (fstat(temp.fd(), &now) == 0 &&
        (now.st_uid != plan.before.st_uid || now.st_gid != plan.before.st_gid) &&
        fchown(temp.fd(), plan.before.st_uid, plan.before.st_gid) != 0) {
      // Only root may give a file away; the group may still be ours to set.
      static_cast<void>(fchown(temp.fd(), static_cast<uid_t>(-1), plan.before.st_gid));
    }
  }
  const mode_t mode =
      options.out.empty() ? (plan.before.st_mode & 07777) : (plan.before.st_mode & 0777 & ~currentUmask());
  if (fchmod(temp.fd(), mode) != 0) {
    return failed(outcome, Failure::write_failed,
                  "cannot set the permissions of the new image: " + errorText(errno));
  }
  if (!flushToDisk(temp.fd())) {
    return failed(outcome, Failure::write_failed, "cannot flush the new image to disk: " + errorText(errno));
  }
  if (!temp.closeChecked()) {
    return failed(outcome, Failure::write_failed, "cannot write the new image: " + errorText(errno));
  }

  // A writer that changed the image meanwhile would have its change lost
  // by the rename, or leave a copy of bytes from two versions; an image
  // replaced by another file meanwhile is not the one that was copied.
  struct stat after {};
  struct stat atPath {};
  const bool changed = fstat(plan.source, &after) != 0 || after.st_size != plan.before.st_size ||
                       after.st_mtime != plan.before.st_mtime;
  const bool replacedAtPath =
      options.out.empty() && (stat(destination.c_str(), &atPath) != 0 ||
                              atPath.st_dev != plan.before.st_dev || atPath.st_ino != plan.before.st_ino);
  if (changed || replacedAtPath) {
    return failed(outcome, Failure::image_changed,
                  "the image '" + plan.image + "' changed while it was copied");
  }
  if (rename(temp.path().c_str(), destination.c_str()) != 0) {
    return failed(outcome, Failure::write_failed,
                  "cannot rename the new image to '" + destination + "': " + errorText(errno));
  }
  temp.commit();
  flushDirectory(temp.directory());
  return outcome;
}

} // namespace

Inspection inspect(int fd) {
  Inspection inspection;
  inspection.location = profile_trailer::locate(fd);
  if (inspection.location.status != Status::no_trailer) {
    std::array<std::uint8_t, 16> fields{};
    const std::uint64_t at = inspection.location.fileSize - TRAILER_SIZE + SIGNATURE_OFFSET_FIELD;
    if (profile_trailer::readAt(fd, at, fields.data(), fields.size()) == fields.size()) {
      inspection.signature.offset = bigEndian64(fields.data());
      inspection.signature.length = bigEndian64(fields.data() + 8);
    }
  }
  return inspection;
}

std::string describe(CopyMethod method) {
  switch (method) {
  case CopyMethod::none:
    return "none";
  case CopyMethod::clone:
#if defined(BRACKWELL_HAVE_FCLONEFILEAT)
    return "clone (fclonefileat)";
#else
    return "clone (FICLONE)";
#endif
  case CopyMethod::copy_file_range:
    return "copy_file_range";
  case CopyMethod::stream:
    return "streamed";
  }
  return "unknown";
}

Outcome stampProfile(const std::string& image, int profileFd, const Options& options) {
  Outcome outcome;
  FileHandle file;
  Plan plan;
  std::string error;
  if (const Failure failure = openImage(image, file, plan, error); failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  const Inspection& inspection = plan.inspection;
  const Location& location = inspection.location;
  if (location.status == Status::ok && !options.replace) {
    return failed(outcome, Failure::profile_present,
                  "'" + image + "' already carries a profile (" + std::to_string(location.length) +
                      " bytes at offset " + std::to_string(location.profileOffset) +
                      "); pass --replace to swap it for the new one");
  }
  if (inspection.signature.present() && !options.force) {
    return failed(outcome, Failure::code_signature,
                  "'" + image + "' carries a code signature (offset " +
                      std::to_string(inspection.signature.offset) + ", length " +
                      std::to_string(inspection.signature.length) +
                      "). Stamping it breaks that signature, and signing it after stamping puts the "
                      "signature between the "
                      "profile's descriptor and the trailer, where brackwell cannot find the profile. Stamp "
                      "an unsigned "
                      "image, or pass --force to stamp this one and give up its signature");
  }
  struct stat profileStat {};
  if (fstat(profileFd, &profileStat) == 0 && S_ISREG(profileStat.st_mode) &&
      static_cast<std::uint64_t>(profileStat.st_size) > MAX_PROFILE_LENGTH) {
    // Refused before a multi-gigabyte image is copied for nothing.
    return failed(outcome, Failure::profile_too_long,
                  "the profile is " + std::to_string(profileStat.st_size) +
                      " bytes long; its 32-bit length field "
                      "allows at most " +
                      std::to_string(MAX_PROFILE_LENGTH));
  }
  if (location.status == Status::ok) {
    plan.keep = location.profileOffset;
    outcome.replaced = true;
    outcome.replacedLength = location.length;
  } else {
    plan.keep = location.fileSize - TRAILER_SIZE;
  }
  plan.profileFd = profileFd;
  return assemble(plan, options, outcome);
}

Outcome removeProfile(const std::string& image, const Options& options) {
  Outcome outcome;
  FileHandle file;
  Plan plan;
  std::string error;
  if (const Failure failure = openImage(image, file, plan, error); failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  const Location& location = plan.inspection.location;
  if (location.status != Status::ok) {
    return failed(outcome, Failure::no_profile,
                  "'" + image + "' carries no profile to remove: " + profile_trailer::describe(location));
  }
  plan.keep = location.profileOffset;
  outcome.profileOffset = location.profileOffset;
  outcome.profileLength = location.length;
  return assemble(plan, options, outcome);
}

void discardPendingOutput() {
  if (pendingSet != 0) {
    unlink(pendingPath.data());
  }
}

} // namespace profile_stamp
