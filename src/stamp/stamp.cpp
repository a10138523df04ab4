#include "stamp/stamp.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fileio/atomic_file.h"
#include "fileio/attributes.h"
#include "fileio/byte_order.h"
#include "fileio/fd.h"
#include "fileio/io.h"
#include "fileio/output_file.h"
#include "fileio/place.h"

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
  // In place: where the image's name is (the target's, when the image was
  // reached through a link), which the new image replaces.
  std::optional<fileio::Place> place;
};

// What the new image is made of: the image's first `keep` bytes, then (for a
// write) the profile and its descriptor, then `trailer`.
struct Plan {
  Operation operation = Operation::write;
  std::uint64_t keep = 0;
  std::array<std::uint8_t, TRAILER_SIZE> trailer{};
  int profileFd = -1; // read to its end while the new image is written
  const std::vector<std::uint8_t>* profile =
      nullptr;                       // or, already read, when the new image must be known first
  std::uint64_t signatureOffset = 0; // where a valid code signature starts (0: none)
  // The new image is known before it is written: its profile read, its size
  // and validator worked out.
  bool known = false;
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
    const int problem = errno;
    error = "cannot examine image " + quoted(source.path) + ": " + errorText(problem);
    return Failure::image_unreadable;
  }
  return Failure::none;
}

// Why a path was refused or could not be reached, as a failure of the run.
Failure placeFailure(const fileio::Error& problem, Failure otherwise) {
  return problem.code == EACCES ? Failure::path_refused : otherwise;
}

// Waits for the exclusive lock on the image, up to `options.waitSeconds`.
// False with `error` when another process held it all that time; a file
// system without locks lets the run go on (the checks before the rename
// still catch a change made meanwhile).
bool lockImage(const Source& source, const Options& options, std::string& error) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.waitSeconds);
  bool told = false;
  for (;;) {
    if (flock(source.fd.get(), LOCK_EX | LOCK_NB) == 0) {
      return true;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EWOULDBLOCK) {
      return true;
    }
    if (Clock::now() >= deadline) {
      error = "another process has held a lock on " + quoted(source.path) + " for " +
              std::to_string(options.waitSeconds) + " s; giving up (--wait sets how long to wait)";
      return false;
    }
    if (!told) {
      tell(options, "waiting for another run that is changing " + quoted(source.path));
      told = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Opens the image. A run that only reads it opens it as any reader would. A
// run that replaces it in place finds its name under the shared-directory
// rules (an image reached through a link another account planted is
// refused), and holds an exclusive lock on it until its new image is renamed
// into place, so two such runs on one image take turns instead of one of
// them losing its change; a run that waited works on the image the other one
// left.
Failure openImage(const std::string& path, const Options& options, Source& source, std::string& error) {
  source.path = path;
  if (!inPlace(options)) {
    source.fd.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!source.fd.valid() || fstat(source.fd.get(), &source.before) != 0) {
      const int problem = errno;
      error = "cannot open image " + quoted(path) + ": " + errorText(problem);
      return Failure::image_unreadable;
    }
    if (!S_ISREG(source.before.st_mode)) {
      error = quoted(path) + " is not a regular file";
      return Failure::not_a_regular_file;
    }
    return recordVersion(source, error);
  }

  constexpr int ATTEMPTS = 100;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    auto place = fileio::placeOf(path);
    if (!place) {
      error = place.error().message;
      return placeFailure(place.error(), Failure::image_unreadable);
    }
    const int follow = place->kernelLink ? 0 : O_NOFOLLOW;
    source.fd.reset(
        openat(place->dir.get(), place->name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | follow));
    if (!source.fd.valid()) {
      const int problem = errno;
      if (place->exists && (problem == ELOOP || problem == ENOENT)) {
        continue; // replaced by a link, or removed, since it was found
      }
      error = "cannot open image " + quoted(path) + ": " + errorText(problem);
      return Failure::image_unreadable;
    }
    if (fstat(source.fd.get(), &source.before) != 0) {
      const int problem = errno;
      error = "cannot open image " + quoted(path) + ": " + errorText(problem);
      return Failure::image_unreadable;
    }
    if (!S_ISREG(source.before.st_mode)) {
      error = quoted(path) + " is not a regular file";
      return Failure::not_a_regular_file;
    }
    if (auto allowed = fileio::checkShared(*place, source.before); !allowed) {
      error = allowed.error().message;
      return Failure::path_refused;
    }
    // A dry run changes nothing, so it neither takes the lock nor waits.
    if (!options.dryRun && !lockImage(source, options, error)) {
      return Failure::image_locked;
    }
    struct stat now {};
    if (fstatat(place->dir.get(), place->name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        fileio::sameFile(now, source.before)) {
      // What the change checks compare with is the image as it is now that
      // this run has it to itself.
      source.place = std::move(*place);
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
    if (inspection.location.error != 0) {
      error = "cannot read the end of " + quoted(path) + ": " + errorText(inspection.location.error);
      return Failure::image_unreadable;
    }
    error = quoted(path) + " does not end in a 512-byte UDIF trailer ('koly' block not found)";
    return Failure::no_trailer;
  }
  if (inspection.signature.layout == profile_trailer::SignatureLayout::unreadable) {
    error =
        "cannot read the code signature of " + quoted(path) + ": " + errorText(inspection.signature.error);
    return Failure::image_unreadable;
  }
  const std::uint64_t trailerOffset = inspection.location.fileSize - TRAILER_SIZE;
  if (fileio::readAt(source.fd.get(), trailerOffset, plan.trailer.data(), plan.trailer.size()) !=
      plan.trailer.size()) {
    const int problem = errno;
    error = "cannot read the trailer of " + quoted(path) + ": " + errorText(problem);
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
  plan.signatureOffset = signature.valid() ? signature.offset : 0;
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

// Where a new file goes: the image's own name (through symbolic links,
// which stay links) or the output path, under the shared-directory rules.
Failure destinationOf(Source& source, const Options& options, fileio::Place& destination,
                      std::string& error) {
  if (inPlace(options)) {
    destination = std::move(*source.place);
    return Failure::none;
  }
  auto place = fileio::placeOf(options.out);
  if (!place) {
    if (place.error().code == EISDIR) {
      error = "the output " + quoted(options.out) + " names a directory";
      return Failure::output_unusable;
    }
    error = place.error().message;
    return placeFailure(place.error(), Failure::write_failed);
  }
  if (place->exists) {
    if (fileio::sameFile(place->info, source.before)) {
      error = "the output " + quoted(options.out) + " is the image itself";
      return Failure::output_is_image;
    }
    if (!S_ISREG(place->info.st_mode)) {
      error = "the output " + quoted(options.out) + " exists and is not a regular file";
      return Failure::output_unusable;
    }
    if (auto allowed = fileio::checkShared(*place, place->info); !allowed) {
      error = allowed.error().message;
      return Failure::path_refused;
    }
  }
  destination = std::move(*place);
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

// Reads the profile from `profileFd` to its end, handing each piece to
// `take` (false: stop, `take` has said why in `error`), and refusing one
// longer than its 32-bit length field can describe after at most 4 GiB.
template <typename Take> Failure readProfile(int profileFd, std::string& error, Take take) {
  std::vector<std::uint8_t> buffer(BUFFER_SIZE);
  std::uint64_t length = 0;
  for (;;) {
    const long got = fileio::readSome(profileFd, buffer.data(), buffer.size());
    if (got < 0) {
      const int problem = errno;
      error = "cannot read the profile: " + errorText(problem);
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
    if (const Failure failure = take(buffer.data(), size, length); failure != Failure::none) {
      return failure;
    }
    length += size;
  }
}

// Appends the profile read from `profileFd` at `offset`; its length goes to
// `length`. Streams, so a long profile costs no memory.
Failure appendProfile(int profileFd, const Sink& sink, std::uint64_t offset, std::uint64_t& length,
                      std::string& error) {
  length = 0;
  return readProfile(profileFd, error, [&](const std::uint8_t* data, std::size_t size, std::uint64_t at) {
    if (!sink.put(data, size, offset + at)) {
      error = writeError(sink);
      return Failure::write_failed;
    }
    length = at + size;
    return Failure::none;
  });
}

// Writes what follows the kept bytes: the profile and its descriptor (for a
// write), then the trailer. Returns the new image's size in `end`.
Failure appendTail(const Plan& plan, const Sink& sink, Outcome& outcome, std::uint64_t& end,
                   std::string& error) {
  end = plan.keep;
  if (plan.operation == Operation::write) {
    std::uint64_t length = 0;
    if (plan.profile != nullptr) {
      length = plan.profile->size();
      if (!sink.put(plan.profile->data(), plan.profile->size(), end)) {
        error = writeError(sink);
        return Failure::write_failed;
      }
    } else if (const Failure failure = appendProfile(plan.profileFd, sink, end, length, error);
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

// Reads the whole profile, for a run whose new image must be known before it
// is written (a dry run, a range, an expected validator).
Failure loadProfile(int profileFd, std::vector<std::uint8_t>& bytes, std::string& error) {
  try {
    return readProfile(profileFd, error, [&](const std::uint8_t* data, std::size_t size, std::uint64_t) {
      bytes.insert(bytes.end(), data, data + size);
      return Failure::none;
    });
  } catch (const std::bad_alloc&) {
    error = "not enough memory to hold the profile of more than " + std::to_string(bytes.size()) +
            " bytes (a dry run, a range or an expected validator needs all of it at once)";
    return Failure::profile_unreadable;
  }
}

// The size of the new image that `plan` describes (its profile read).
std::uint64_t sizeOf(const Plan& plan) {
  const std::uint64_t profile =
      plan.operation == Operation::write ? plan.profile->size() + DESCRIPTOR_SIZE : 0;
  return plan.keep + profile + TRAILER_SIZE;
}

// 64-bit FNV-1a: a validator tells versions apart; nothing depends on it
// resisting someone who crafts collisions.
class Fingerprint {
public:
  void add(const std::uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      hash_ = (hash_ ^ bytes[i]) * 0x100000001b3u;
    }
  }
  void add(std::uint64_t number) {
    std::array<std::uint8_t, sizeof number> bytes{};
    fileio::writeBigEndian(number, bytes.data());
    add(bytes.data(), bytes.size());
  }
  std::uint64_t value() const { return hash_; }

private:
  std::uint64_t hash_ = 0xcbf29ce484222325u;
};

std::int64_t modifiedSeconds(const struct stat& st) {
#if defined(__APPLE__)
  return st.st_mtimespec.tv_sec;
#else
  return st.st_mtim.tv_sec;
#endif
}

long modifiedNanoseconds(const struct stat& st) {
#if defined(__APPLE__)
  return st.st_mtimespec.tv_nsec;
#else
  return st.st_mtim.tv_nsec;
#endif
}

// The new image's validator (see ETAG_PREFIX in stamp.h for what it is made
// of and what it cannot see).
Failure etagOf(const Source& source, const Plan& plan, std::string& etag, std::string& error) {
  Fingerprint fingerprint;
  const auto size = static_cast<std::uint64_t>(source.before.st_size);
  fingerprint.add(size);
  fingerprint.add(static_cast<std::uint64_t>(modifiedSeconds(source.before)));
  fingerprint.add(static_cast<std::uint64_t>(modifiedNanoseconds(source.before)));
  std::array<std::uint8_t, TRAILER_SIZE + DESCRIPTOR_SIZE> end{};
  const std::size_t endSize = static_cast<std::size_t>(std::min<std::uint64_t>(end.size(), size));
  std::array<std::uint8_t, DESCRIPTOR_SIZE> beforeSignature{};
  if (fileio::readAt(source.fd.get(), size - endSize, end.data(), endSize) != endSize ||
      (plan.signatureOffset >= DESCRIPTOR_SIZE &&
       fileio::readAt(source.fd.get(), plan.signatureOffset - DESCRIPTOR_SIZE, beforeSignature.data(),
                      beforeSignature.size()) != beforeSignature.size())) {
    const int problem = errno;
    error = "cannot read the end of " + quoted(source.path) + ": " + errorText(problem);
    return Failure::image_unreadable;
  }
  fingerprint.add(end.data(), endSize);
  fingerprint.add(beforeSignature.data(), beforeSignature.size());
  fingerprint.add(plan.keep);
  fingerprint.add(plan.trailer.data(), plan.trailer.size());
  if (plan.operation == Operation::write) {
    fingerprint.add(plan.profile->size());
    fingerprint.add(plan.profile->data(), plan.profile->size());
  }
  static constexpr char HEX[] = "0123456789abcdef";
  std::string digits(16, '0');
  for (std::size_t i = 0; i < digits.size(); ++i) {
    digits[i] = HEX[(fingerprint.value() >> (60 - 4 * i)) & 0xfu];
  }
  etag = std::string("\"") + ETAG_PREFIX + digits + "\"";
  return Failure::none;
}

std::string describe(const ByteRange& range) {
  if (!range.text.empty()) {
    return range.text;
  }
  switch (range.kind) {
  case ByteRange::Kind::from_to:
    return std::to_string(range.first) + "-" + std::to_string(range.last);
  case ByteRange::Kind::from:
    return std::to_string(range.first) + "-";
  case ByteRange::Kind::suffix:
    return "-" + std::to_string(range.last);
  }
  return "";
}

// One run of bytes of the new image: from the image file, or from memory.
struct Piece {
  std::uint64_t length = 0;
  int fd = -1; // the image, read from `offset` on
  std::uint64_t offset = 0;
  const std::uint8_t* data = nullptr; // or these bytes, when fd < 0
};

// Writes bytes [first, end) of the new image made of `pieces` to `target`,
// reading only what falls in that range.
Failure emit(const std::vector<Piece>& pieces, std::uint64_t first, std::uint64_t end, int target,
             CopyLimit limit, Outcome& outcome, std::string& error) {
  std::uint64_t at = 0;
  for (const Piece& piece : pieces) {
    const std::uint64_t from = std::max(first, at);
    const std::uint64_t to = std::min(end, at + piece.length);
    if (from < to) {
      if (piece.fd >= 0) {
        const fileio::CopyResult copy =
            fileio::copyToStream(piece.fd, piece.offset + (from - at), to - from, target, limit);
        if (copy.method != CopyMethod::none) {
          outcome.copy = copy.method;
        }
        if (!copy.ok()) {
          error = copyError(copy, true);
          return Failure::write_failed;
        }
      } else if (!fileio::writeAll(target, piece.data + (from - at), static_cast<std::size_t>(to - from))) {
        const int problem = errno;
        error = writeError(true, problem);
        return Failure::write_failed;
      }
    }
    at += piece.length;
  }
  return Failure::none;
}

// Writes the new image that `plan` describes, its profile read, to a stream:
// whole, or only the range asked for. Only the image's bytes in that range
// are read.
Outcome streamKnown(const Source& source, const Plan& plan, const Options& options, Outcome outcome) {
  const profile_trailer::Descriptor descriptor = profile_trailer::encodeDescriptor(
      plan.operation == Operation::write ? static_cast<std::uint32_t>(plan.profile->size()) : 0);
  std::vector<Piece> pieces;
  pieces.push_back({plan.keep, source.fd.get(), 0, nullptr});
  if (plan.operation == Operation::write) {
    pieces.push_back({plan.profile->size(), -1, 0, plan.profile->data()});
    pieces.push_back({descriptor.size(), -1, 0, descriptor.data()});
  }
  pieces.push_back({plan.trailer.size(), -1, 0, plan.trailer.data()});
  const auto [first, last] = outcome.written
                                 ? *outcome.written
                                 : std::make_pair<std::uint64_t, std::uint64_t>(0, outcome.imageSize - 1);
  outcome.copiedBytes = plan.keep;
  std::string error;
  if (const Failure failure = emit(pieces, first, last + 1, options.outFd, options.copy, outcome, error);
      failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  if (!unchanged(source)) {
    return failed(outcome, Failure::image_changed, changedMessage(source) + "; the output is not to be used");
  }
  return outcome;
}

// What a dry run checks beyond the image and the profile: that the output
// could be written, without writing or creating anything.
Outcome checkOutput(Source& source, const Options& options, Outcome outcome) {
  if (options.outFd >= 0) {
    struct stat out {};
    if (fstat(options.outFd, &out) == 0 && fileio::sameFile(out, source.before)) {
      return failed(outcome, Failure::output_is_image, "the output (standard output) is the image itself");
    }
    return outcome;
  }
  std::string error;
  fileio::Place destination;
  if (const Failure failure = destinationOf(source, options, destination, error); failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  if (faccessat(destination.dir.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    const int problem = errno;
    return failed(outcome, Failure::write_failed,
                  "cannot create the new file next to " + quoted(destination.path) + ": " +
                      errorText(problem));
  }
  return outcome;
}

// Assembles the new image next to its destination and renames it over it.
Outcome assembleFile(Source& source, const Plan& plan, const Options& options, Outcome outcome) {
  std::string error;
  fileio::Place destination;
  if (const Failure failure = destinationOf(source, options, destination, error); failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  fileio::AtomicFile temp(destination, TEMPORARY_TAG);
  // What a run ended by SIGKILL or a power loss left for this destination
  // goes first; files of runs still at work are locked and stay, and so do
  // the files this run was given, whatever their names.
  std::vector<struct stat> given{source.before};
  struct stat profile {};
  if (plan.profileFd >= 0 && fstat(plan.profileFd, &profile) == 0) {
    given.push_back(profile);
  }
  for (const std::string& leftover : fileio::removeLeftovers(destination, TEMPORARY_TAG, given)) {
    tell(options, "removed " + quoted(leftover) + ", left behind by a run that was ended before it finished");
  }

  outcome.copiedBytes = plan.keep;
  if (options.copy == CopyLimit::cheapest && temp.createClone(source.fd.get())) {
    if (ftruncate(temp.fd(), static_cast<off_t>(plan.keep)) != 0) {
      const int problem = errno;
      return failed(outcome, Failure::write_failed, "cannot cut the cloned image: " + errorText(problem));
    }
    outcome.copy = CopyMethod::clone;
  } else {
    if (auto created = temp.create(); !created) {
      return failed(outcome, Failure::write_failed, created.error().message);
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
  mode_t mode =
      inPlace(options) ? (source.before.st_mode & 07777) : (source.before.st_mode & 0777 & ~currentUmask());
  if (inPlace(options)) {
    struct stat now {};
    if (fstat(temp.fd(), &now) == 0 &&
        (now.st_uid != source.before.st_uid || now.st_gid != source.before.st_gid) &&
        fchown(temp.fd(), source.before.st_uid, source.before.st_gid) != 0) {
      // Only root may give a file away; the group may still be ours to set.
      static_cast<void>(fchown(temp.fd(), static_cast<uid_t>(-1), source.before.st_gid));
    }
    // A file that could not keep its owner and group is a file of whoever
    // runs this: it keeps no set-user-ID or set-group-ID bit, as with cp -p
    // and install, or stamping someone's set-id image would make a set-id
    // program of ours.
    if (fstat(temp.fd(), &now) != 0 || now.st_uid != source.before.st_uid ||
        now.st_gid != source.before.st_gid) {
      mode &= static_cast<mode_t>(~(S_ISUID | S_ISGID));
    }
  }
  if (fchmod(temp.fd(), mode) != 0) {
    const int problem = errno;
    return failed(outcome, Failure::write_failed,
                  "cannot set the permissions of the new image: " + errorText(problem));
  }
  if (auto flushed = temp.flush(); !flushed) {
    return failed(outcome, Failure::write_failed, flushed.error().message);
  }

  // A writer that changed the image meanwhile would have its change lost
  // by the rename, or leave a copy of bytes from two versions; an image
  // replaced by another file meanwhile is not the one that was copied.
  struct stat atName {};
  const bool replacedAtName = inPlace(options) && (fstatat(destination.dir.get(), destination.name.c_str(),
                                                           &atName, AT_SYMLINK_NOFOLLOW) != 0 ||
                                                   !fileio::sameFile(atName, source.before));
  if (!unchanged(source) || replacedAtName) {
    return failed(outcome, Failure::image_changed, changedMessage(source));
  }
  if (auto committed = temp.commit(); !committed) {
    return failed(outcome, Failure::write_failed, committed.error().message);
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
  if (plan.known) {
    return streamKnown(source, plan, options, outcome);
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
  std::vector<std::uint8_t> profile;
  std::string error;
  if (const Failure failure = openImage(image, options, source, error); failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  if (const Failure failure = prepare(source, operation, options, plan, outcome, error);
      failure != Failure::none) {
    return failed(outcome, failure, error);
  }
  if (operation == Operation::write) {
    struct stat profileFile {};
    if (fstat(profileFd, &profileFile) == 0 && S_ISREG(profileFile.st_mode) &&
        static_cast<std::uint64_t>(profileFile.st_size) > MAX_PROFILE_LENGTH) {
      // Refused before a multi-gigabyte image is copied for nothing.
      return failed(outcome, Failure::profile_too_long,
                    "the profile is " + std::to_string(profileFile.st_size) +
                        " bytes long; its 32-bit length field allows at most " +
                        std::to_string(MAX_PROFILE_LENGTH));
    }
    plan.profileFd = profileFd;
  }
  // A dry run, a range or an expected validator needs the new image's size
  // and validator before a byte is written: the profile is read first.
  if (options.dryRun || options.range || options.ifEtag) {
    if (operation == Operation::write) {
      if (const Failure failure = loadProfile(profileFd, profile, error); failure != Failure::none) {
        return failed(outcome, failure, error);
      }
      plan.profile = &profile;
      outcome.profileOffset = plan.keep;
      outcome.profileLength = profile.size();
    }
    plan.known = true;
    outcome.imageSize = sizeOf(plan);
    if (const Failure failure = etagOf(source, plan, outcome.etag, error); failure != Failure::none) {
      return failed(outcome, failure, error);
    }
    if (options.ifEtag && *options.ifEtag != outcome.etag) {
      return failed(outcome, Failure::etag_mismatch,
                    "the new image's validator is " + outcome.etag + ", not " + *options.ifEtag +
                        ": the image or the profile changed");
    }
    if (options.range) {
      outcome.written = resolve(*options.range, outcome.imageSize);
      if (!outcome.written) {
        return failed(outcome, Failure::range_unsatisfiable,
                      "the range " + describe(*options.range) + " selects none of the " +
                          std::to_string(outcome.imageSize) + " bytes of the new image");
      }
    }
    if (options.dryRun) {
      return checkOutput(source, options, outcome);
    }
  }
  return options.outFd >= 0 ? assembleStream(source, plan, options, outcome)
                            : assembleFile(source, plan, options, outcome);
}

} // namespace

std::optional<std::pair<std::uint64_t, std::uint64_t>> resolve(const ByteRange& range, std::uint64_t size) {
  switch (range.kind) {
  case ByteRange::Kind::from_to:
  case ByteRange::Kind::from:
    if (range.first >= size) {
      return std::nullopt;
    }
    return std::make_pair(range.first,
                          range.kind == ByteRange::Kind::from ? size - 1 : std::min(range.last, size - 1));
  case ByteRange::Kind::suffix:
    if (range.last == 0 || size == 0) {
      return std::nullopt;
    }
    return std::make_pair(size - std::min(range.last, size), size - 1);
  }
  return std::nullopt;
}

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

Outcome extractProfile(const std::string& image, const Options& options, std::ostream& log) {
  Outcome outcome;
  const profile_trailer::Found found = profile_trailer::openProfile(image, log);
  const Location& location = found.location;
  // The reader has printed why; the failure tells the kind.
  switch (location.status) {
  case Status::ok:
    break;
  case Status::no_trailer:
    return failed(outcome, location.error != 0 ? Failure::image_unreadable : Failure::no_trailer, "");
  case Status::wrong_type:
  case Status::magic_mismatch:
    return failed(outcome, Failure::no_profile, "");
  case Status::length_too_large:
    return failed(outcome, Failure::damaged_descriptor, "");
  }
  const bool toFile = options.outFd < 0;
  const std::string output = toFile ? quoted(options.out) : "standard output";
  fileio::Output file;
  int target = options.outFd;
  if (toFile) {
    auto opened = fileio::openOutput(options.out, fileio::FifoWait::never);
    if (!opened) {
      return failed(outcome, placeFailure(opened.error(), Failure::write_failed), opened.error().message);
    }
    file = std::move(*opened);
    target = file.fd.get();
  } else if (fstat(target, &file.info) != 0) {
    file.info = {};
  }
  // Checked before anything is truncated or written: the profile written
  // into the image it comes from would leave an image without its trailer.
  struct stat imageInfo {};
  if (fstat(found.file.get(), &imageInfo) == 0 && fileio::sameFile(imageInfo, file.info)) {
    return failed(outcome, Failure::output_is_image,
                  toFile ? "the output " + output + " is the image itself"
                         : "the output (standard output) is the image itself");
  }
  if (toFile) {
    if (auto cut = fileio::truncate(file, options.out); !cut) {
      return failed(outcome, Failure::write_failed, cut.error().message);
    }
  }
  const fileio::CopyResult copy =
      fileio::copyToStream(found.file.get(), location.profileOffset, location.length, target, options.copy);
  outcome.copy = copy.method;
  if (!copy.ok()) {
    if (copy.failed == fileio::CopyResult::Failed::reading) {
      return failed(outcome, Failure::profile_unreadable,
                    "cannot read the profile: " + errorText(copy.error));
    }
    return failed(outcome, Failure::write_failed,
                  "cannot write the profile to " + output + ": " + errorText(copy.error));
  }
  if (toFile && !file.fd.closeChecked()) {
    const int problem = errno;
    return failed(outcome, Failure::write_failed,
                  "cannot write the profile to " + output + ": " + errorText(problem));
  }
  outcome.profileOffset = location.profileOffset;
  outcome.profileLength = location.length;
  return outcome;
}

void discardPendingOutput() {
  fileio::discardPendingFile();
}

} // namespace stamp
