#include "stamp/stamp.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fileio/atomic_file.h"
#include "fileio/attributes.h"
#include "fileio/fd.h"
#include "fileio/io.h"

namespace stamp {

namespace {

using fileio::errorText;
using profile_trailer::CodeSignature;
using profile_trailer::DESCRIPTOR_SIZE;
using profile_trailer::Location;
using profile_trailer::Status;
using profile_trailer::TRAILER_SIZE;

constexpr std::size_t BUFFER_SIZE = 1 << 20;

enum class Operation { write, remove, unsign };

Outcome failed(Outcome outcome, Failure failure, std::string message) {
  outcome.failure = failure;
  outcome.message = std::move(message);
  return outcome;
}

std::string quoted(const std::string& path) {
  return "'" + path + "'";
}

// The image as it is read: the descriptor stays open until the new image is
// in place, and `before` is what the change checks compare with.
struct Source {
  std::string path;
  fileio::Fd fd;
  struct stat before {};
};

// What the new image is made of: the image's first `keep` bytes, then (for a
// write) the profile and its descriptor, then `trailer`.
struct Plan {
  Operation operation = Operation::write;
  std::uint64_t keep = 0;
  std::array<std::uint8_t, TRAILER_SIZE> trailer{};
  int profileFd = -1;
};

bool inPlace(const Options& options) {
  return options.outFd < 0 && options.out.empty();
}

void tell(const Options& options, const std::string& text) {
  if (options.notice) {
    options.notice(text);
  }
}

// Records the version of the image that the change checks compare with,
// once the file system's clock has moved past its modification time: a
// rewrite at the same size within the same tick (2 s on FAT) would otherwise
// leave size and time as they were, and go unseen.
Failure recordVersion(Source& source, std::string& error) {
  if (!fileio::settledStatus(source.fd.get(), source.before)) {
    error = "cannot examine image " + quoted(source.path) + ": " + errorText(errno);
    return Failure::image_unreadable;
  }
  return Failure::none;
}

// Opens the image. A run that replaces the image in place holds an
// exclusive lock on it until its new image is renamed into place, so two
// such runs on one image take turns instead of one of them losing its
// change; a run that waited works on the image the other one left.
Failure openImage(const std::string& path, const Options& options, Source& source, std::string& error) {
  constexpr int ATTEMPTS = 100;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    source.fd.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!source.fd.valid() || fstat(source.fd.get(), &source.before) != 0) {
      error = "cannot open image " + quoted(path) + ": " + errorText(errno);
      return Failure::image_unreadable;
    }
    if (!S_ISREG(source.before.st_mode)) {
      error = quoted(path) + " is not a regular file";
      return Failure::not_a_regular_file;
    }
    source.path = path;
    if (!inPlace(options)) {
      return recordVersion(source, error);
    }
    if (flock(source.fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      tell(options, "waiting for another run that is changing " + quoted(path));
      while (flock(source.fd.get(), LOCK_EX) != 0 && errno == EINTR) {
      }
    }
    // Any other error is a file system without locks: the run goes on, and
    // the checks before the rename still catch a change made meanwhile.
    struct stat now {};
    if (stat(path.c_str(), &now) == 0 && fileio::sameFile(now, source.before)) {
      // What the change checks compare with is the image as it is now that
      // this run has it to itself.
      return recordVersion(source, error);
    }
  }
  error = "the image " + quoted(path) + " keeps being replaced";
  return Failure::image_changed;
}

// Reads what every operation needs to know about the image and decides,
// for `operation`, what the new image holds or why there is none.
Failure prepare(const Source& source, Operation operation, const Options& options, Plan& plan,
                Outcome& outcome, std::string& error) {
  const std::string& path = source.path;
  const Inspection inspection = inspect(source.fd.get());
  if (inspection.location.status == Status::no_trailer) {
    error = quoted(path) + " does not end in a 512-byte UDIF trailer ('koly' block not found)";
    return Failure::no_trailer;
  }
  const std::uint64_t trailerOffset = inspection.location.fileSize - TRAILER_SIZE;
  if (fileio::readAt(source.fd.get(), trailerOffset, plan.trailer.data(), plan.trailer.size()) !=
      plan.trailer.size()) {
    error = "cannot read the trailer of " + quoted(path) + ": " + errorText(errno);
    return Failure::image_unreadable;
  }
  const CodeSignature& signature = inspection.signature;
  if (signature.present() && !signature.valid()) {
    error = quoted(path) + " records a code signature of " + std::to_string(signature.length) +
            " bytes at offset " + std::to_string(signature.offset) + ", but " +
            profile_trailer::describe(signature) +
            ": nothing tells which bytes are the signature, so the image is left as it is";
    return Failure::bad_signature;
  }

  // The image the work is done on: the file itself, or, for a signed one,
  // the image as it was before it was signed (a profile stamped before
  // signing lies there, in front of the signature).
  const Location location = signature.valid() ? *inspection.beforeSignature : inspection.location;
  const std::uint64_t contentEnd = signature.valid() ? signature.offset : trailerOffset;
  const bool takeSignatureOff = signature.valid() && (operation == Operation::unsign || options.unsign);
  if (takeSignatureOff) {
    profile_trailer::clearSignatureFields(plan.trailer.data());
    outcome.unsignedImage = true;
    outcome.signatureLength = signature.length;
  }

  if (operation == Operation::unsign && !signature.valid()) {
    error = quoted(path) + " carries no code signature to remove";
    return Failure::not_signed;
  }
  if (operation == Operation::remove && location.status != Status::ok &&
      location.status != Status::length_too_large) {
    error = quoted(path) + " carries no profile to remove: " + profile_trailer::describe(location);
    return Failure::no_profile;
  }
  if (signature.valid() && !takeSignatureOff) {
    error = quoted(path) + " is code-signed (a signature of " + std::to_string(signature.length) +
            " bytes at offset " + std::to_string(signature.offset) + "). " +
            (operation == Operation::write ? "Stamping it" : "Removing its profile") +
            " would break the signature, and macOS reports a disk image whose signature does not verify as "
            "damaged. Pass --unsign to remove the signature as well";
    return Failure::signed_image;
  }
  if (operation != Operation::unsign && location.status == Status::length_too_large) {
    // Type and magic match, so this is a descriptor, but it cannot say
    // where its profile starts: neither a new profile nor a removal can
    // leave a consistent image behind.
    error = quoted(path) + " carries a damaged profile descriptor: " + profile_trailer::describe(location);
    return Failure::damaged_descriptor;
  }
  if (operation == Operation::write && location.status == Status::ok && !options.replace) {
    error = quoted(path) + " already carries a profile (" + std::to_string(location.length) +
            " bytes at offset " + std::to_string(location.profileOffset) +
            "); pass --replace to swap it for the new one";
    return Failure::profile_present;
  }

  plan.operation = operation;
  switch (operation) {
  case Operation::write:
    plan.keep = location.status == Status::ok ? location.profileOffset : contentEnd;
    outcome.replaced = location.status == Status::ok;
    outcome.replacedLength = outcome.replaced ? location.length : 0;
    break;
  case Operation::remove:
    plan.keep = location.profileOffset;
    outcome.profileOffset = location.profileOffset;
    outcome.profileLength = location.length;
    break;
  case Operation::unsign:
    plan.keep = contentEnd;
    break;
  }
  return Failure::none;
}

// Where a new file goes: the image's own file (through symbolic links,
// which stay links) or the output path.
Failure destinationOf(const Source& source, const Options& options, std::string& destination,
                      std::string& error) {
  const std::string& wanted = options.out.empty() ? source.path : options.out;
  struct stat st {};
  if (stat(wanted.c_str(), &st) == 0) {
    const bool isImage = fileio::sameFile(st, source.before);
    if (!options.out.empty() && isImage) {
      error = "the output " + quoted(options.out) + " is the image itself";
      return Failure::output_is_image;
    }
    if (options.out.empty() && !isImage) {
      // Renamed or replaced since it was opened: the copy is of another file.
      error = "the image " + quoted(source.path) + " was replaced while it was being read";
      return Failure::image_changed;
    }
    if (!S_ISREG(st.st_mode)) {
      error = "the output " + quoted(wanted) + " exists and is not a regular file";
      return Failure::output_unusable;
    }
    char* resolved = realpath(wanted.c_str(), nullptr);
    if (resolved == nullptr) {
      error = "cannot resolve " + quoted(wanted) + ": " + errorText(errno);
      return Failure::output_unusable;
    }
    destination = resolved;
    std::free(resolved);
    return Failure::none;
  }
  if (options.out.empty()) {
    error = "the image " + quoted(source.path) + " was removed while it was being read";
    return Failure::image_changed;
  }
  if (wanted.back() == '/') {
    error = "the output " + quoted(wanted) + " names a directory";
    return Failure::output_unusable;
  }
  destination = wanted;
  return Failure::none;
}

// Where the new image's bytes go: positional writes into a new file, or
// writes in order into a stream.
struct Sink {
  int fd = -1;
  bool positional = true;
  bool put(const std::uint8_t* data, std::size_t size, std::uint64_t at) const {
    return positional ? fileio::writeAllAt(fd, data, size, at) : fileio::writeAll(fd, data, size);
  }
};

// Why the new image could not be written: `error` from a new file, or from
// the stream the image goes to.
std::string writeError(bool toStream, int error) {
  return std::string(toStream ? "cannot write the new image to the output: "
                              : "cannot write the new image: ") +
         errorText(error);
}

std::string writeError(const Sink& sink) {
  return writeError(!sink.positional, errno);
}

// Appends the profile read from `profileFd` at `offset`; its length goes to
// `length`. Streams, so a long profile costs no memory and a too long one is
// refused after at most 4 GiB.
Failure appendProfile(int profileFd, const Sink& sink, std::uint64_t offset, std::uint64_t& length,
                      std::string& error) {
  std::vector<std::uint8_t> buffer(BUFFER_SIZE);
  length = 0;
  for (;;) {
    const long got = fileio::readSome(profileFd, buffer.data(), buffer.size());
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
    if (!sink.put(buffer.data(), size, offset + length)) {
      error = writeError(sink);
      return Failure::write_failed;
    }
    length += size;
  }
}

// Writes what follows the kept bytes: the profile and its descriptor (for a
// write), then the trailer. Returns the new image's size in `end`.
Failure appendTail(const Plan& plan, const Sink& sink, Outcome& outcome, std::uint64_t& end,
                   std::string& error) {
  end = plan.keep;
  if (plan.operation == Operation::write) {
    std::uint64_t length = 0;
    if (const Failure failure = appendProfile(plan.profileFd, sink, end, length, error);
        failure != Failure::none) {
      return failure;
    }
    const auto descriptor = profile_trailer::encodeDescriptor(static_cast<std::uint32_t>(length));
    if (!sink.put(descriptor.data(), descriptor.size(), end + length)) {
      error = writeError(sink);
      return Failure::write_failed;
    }
    outcome.profileOffset = end;
    outcome.profileLength = length;
    end += length + DESCRIPTOR_SIZE;
  }
  if (!sink.put(plan.trailer.data(), plan.trailer.size(), end)) {
    error = writeError(sink);
    return Failure::write_failed;
  }
  end += TRAILER_SIZE;
  outcome.imageSize = end;
  return Failure::none;
}

std::string copyError(const fileio::CopyResult& copy, bool toStream) {
  if (copy.failed == fileio::CopyResult::Failed::reading) {
    return "cannot read the image: " + errorText(copy.error);
  }
  return writeError(toStream, copy.error);
}

// Whether the image is still the version that was read.
bool unchanged(const Source& source) {
  struct stat after {};
  return fstat(source.fd.get(), &after) == 0 && fileio::sameVersion(source.before, after);
}

std::string changedMessage(const Source& source) {
  return "the image " + quoted(source.path) + " changed while it was being read";
}

mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Assembles the new image next to its destination and renames it over it.
Outcome assembleFile(const Source& source, const Plan& plan, const Options& options, Outcome outcome) {
  std::string error;
  std::string destination;
  if (const Failure failure = destinationOf(source, options, destination, error); failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  fileio::AtomicFile temp(destination, TEMPORARY_TAG);
  // What a run ended by SIGKILL or a power loss left in this directory goes
  // first; files of runs still at work are locked and stay.
  for (const std::string& leftover : fileio::removeLeftovers(temp.directory(), TEMPORARY_TAG)) {
    tell(options, "removed " + quoted(leftover) + ", left behind by a run that was ended before it finished");
  }

  outcome.copiedBytes = plan.keep;
  if (options.copy == CopyLimit::cheapest && temp.createClone(source.fd.get())) {
    if (ftruncate(temp.fd(), static_cast<off_t>(plan.keep)) != 0) {
      return failed(outcome, Failure::write_failed, "cannot cut the cloned image: " + errorText(errno));
    }
    outcome.copy = CopyMethod::clone;
  } else {
    if (!temp.create(error)) {
      return failed(outcome, Failure::write_failed, error);
    }
    const fileio::CopyResult copy = fileio::copyPrefix(source.fd.get(), temp.fd(), plan.keep, options.copy);
    outcome.copy = copy.method;
    if (!copy.ok()) {
      return failed(outcome, Failure::write_failed, copyError(copy, false));
    }
    // What a clone carries by itself, so that the new image is the same
    // whichever way its bytes were copied.
    if (!fileio::copyExtendedAttributes(source.fd.get(), temp.fd(), error)) {
      return failed(outcome, Failure::write_failed, error);
    }
  }

  std::uint64_t end = 0;
  if (const Failure failure = appendTail(plan, Sink{temp.fd(), true}, outcome, end, error);
      failure != Failure::none) {
    return failed(outcome, failure, error);
  }

  // Read the result back the way brackwell will before it replaces anything:
  // the profile where it was written (or none where one was removed), the
  // trailer at the end, and no code signature.
  const Location written = profile_trailer::locate(temp.fd());
  const bool profileReadsBack = plan.operation == Operation::write
                                    ? written.status == Status::ok &&
                                          written.profileOffset == outcome.profileOffset &&
                                          written.length == outcome.profileLength
                                    : written.status != Status::no_trailer;
  if (!profileReadsBack || written.fileSize != end ||
      profile_trailer::readCodeSignature(temp.fd(), written.fileSize).present()) {
    return failed(outcome, Failure::write_failed, "the new image does not read back as written");
  }

  // An in-place result is the same file to its owner: same owner where we
  // may set it (chown clears set-id bits, so it goes first), same mode. A
  // new output is like a copy: the image's mode within the umask.
  if (inPlace(options)) {
    struct stat now {};
    if (fstat(temp.fd(), &now) == 0 &&
        (now.st_uid != source.before.st_uid || now.st_gid != source.before.st_gid) &&
        fchown(temp.fd(), source.before.st_uid, source.before.st_gid) != 0) {
      // Only root may give a file away; the group may still be ours to set.
      static_cast<void>(fchown(temp.fd(), static_cast<uid_t>(-1), source.before.st_gid));
    }
  }
  const mode_t mode =
      inPlace(options) ? (source.before.st_mode & 07777) : (source.before.st_mode & 0777 & ~currentUmask());
  if (fchmod(temp.fd(), mode) != 0) {
    return failed(outcome, Failure::write_failed,
                  "cannot set the permissions of the new image: " + errorText(errno));
  }
  if (!temp.flush()) {
    return failed(outcome, Failure::write_failed, "cannot flush the new image to disk: " + errorText(errno));
  }

  // A writer that changed the image meanwhile would have its change lost
  // by the rename, or leave a copy of bytes from two versions; an image
  // replaced by another file meanwhile is not the one that was copied.
  struct stat atPath {};
  const bool replacedAtPath = inPlace(options) && (stat(destination.c_str(), &atPath) != 0 ||
                                                   !fileio::sameFile(atPath, source.before));
  if (!unchanged(source) || replacedAtPath) {
    return failed(outcome, Failure::image_changed, changedMessage(source));
  }
  if (!temp.commit()) {
    return failed(outcome, Failure::write_failed,
                  "cannot rename the new image to " + quoted(destination) + ": " + errorText(errno));
  }
  return outcome;
}

// Writes the new image to a stream. Nothing is created on disk; a failure
// part-way leaves the reader with an incomplete image and the run with a
// failure status.
Outcome assembleStream(const Source& source, const Plan& plan, const Options& options, Outcome outcome) {
  struct stat out {};
  if (fstat(options.outFd, &out) == 0 && fileio::sameFile(out, source.before)) {
    return failed(outcome, Failure::output_is_image, "the output (standard output) is the image itself");
  }
  outcome.copiedBytes = plan.keep;
  const fileio::CopyResult copy =
      fileio::copyToStream(source.fd.get(), 0, plan.keep, options.outFd, options.copy);
  outcome.copy = copy.method;
  if (!copy.ok()) {
    return failed(outcome, Failure::write_failed, copyError(copy, true));
  }
  std::string error;
  std::uint64_t end = 0;
  if (const Failure failure = appendTail(plan, Sink{options.outFd, false}, outcome, end, error);
      failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  if (!unchanged(source)) {
    return failed(outcome, Failure::image_changed, changedMessage(source) + "; the output is not to be used");
  }
  return outcome;
}

Outcome run(const std::string& image, Operation operation, int profileFd, const Options& options) {
  Outcome outcome;
  Source source;
  Plan plan;
  std::string error;
  if (const Failure failure = openImage(image, options, source, error); failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  if (const Failure failure = prepare(source, operation, options, plan, outcome, error);
      failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  if (operation == Operation::write) {
    struct stat profile {};
    if (fstat(profileFd, &profile) == 0 && S_ISREG(profile.st_mode) &&
        static_cast<std::uint64_t>(profile.st_size) > MAX_PROFILE_LENGTH) {
      // Refused before a multi-gigabyte image is copied for nothing.
      return failed(outcome, Failure::profile_too_long,
                    "the profile is " + std::to_string(profile.st_size) +
                        " bytes long; its 32-bit length field allows at most " +
                        std::to_string(MAX_PROFILE_LENGTH));
    }
    plan.profileFd = profileFd;
  }
  return options.outFd >= 0 ? assembleStream(source, plan, options, outcome)
                            : assembleFile(source, plan, options, outcome);
}

} // namespace

Inspection inspect(int fd) {
  Inspection inspection;
  inspection.location = profile_trailer::locate(fd);
  if (inspection.location.status != Status::no_trailer) {
    inspection.signature = profile_trailer::readCodeSignature(fd, inspection.location.fileSize);
    if (inspection.signature.valid()) {
      inspection.beforeSignature = profile_trailer::locateInFrontOf(fd, inspection.signature.offset);
    }
  }
  return inspection;
}

Outcome stampProfile(const std::string& image, int profileFd, const Options& options) {
  return run(image, Operation::write, profileFd, options);
}

Outcome removeProfile(const std::string& image, const Options& options) {
  return run(image, Operation::remove, -1, options);
}

Outcome removeSignature(const std::string& image, const Options& options) {
  return run(image, Operation::unsign, -1, options);
}

void discardPendingOutput() {
  fileio::discardPendingFile();
}

} // namespace stamp
