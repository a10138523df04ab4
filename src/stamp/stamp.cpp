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

using code_signature::Signature;
using fileio::quoted;
using profile_trailer::DESCRIPTOR_SIZE;
using profile_trailer::Location;
using profile_trailer::Status;
using profile_trailer::TRAILER_SIZE;

enum class Operation { write, remove, unsign };

// A run that ends with `failure`, for the reason `message` gives.
tl::unexpected<Error> refuse(Failure failure, std::string message) {
  return tl::make_unexpected(Error{failure, std::move(message), 0, {}});
}

// A run that ends with `failure` because of `cause`, which says it all.
tl::unexpected<Error> refuse(Failure failure, const fileio::Error& cause) {
  return refuse(failure, cause.message);
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
  // Or the profile, already read, when the new image must be known first.
  const std::vector<std::uint8_t>* profile = nullptr;
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

// Why a path was refused or could not be reached, as a failure of the run.
Failure placeFailure(const fileio::Error& problem, Failure otherwise) {
  return problem.code == EACCES ? Failure::path_refused : otherwise;
}

// Records the version of the image that the change checks compare with,
// once the file system's clock has moved past its modification time: a
// rewrite at the same size within the same tick (2 s on FAT) would otherwise
// leave size and time as they were, and go unseen.
Result<void> recordVersion(Source& source) {
  auto settled = fileio::settledStatus(source.fd.get());
  if (!settled) {
    return refuse(Failure::image_unreadable,
                  settled.error().within("cannot examine image " + quoted(source.path)));
  }
  source.before = *settled;
  return {};
}

// Waits for the exclusive lock on the image, up to `options.waitSeconds`.
// Fails when another process held it all that time; a file system without
// locks lets the run go on (the checks before the rename still catch a
// change made meanwhile).
Result<void> lockImage(const Source& source, const Options& options) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.waitSeconds);
  bool told = false;
  for (;;) {
    const int code = flock(source.fd.get(), LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    if (code == 0 || (code != EINTR && code != EWOULDBLOCK)) {
      return {};
    }
    if (code == EINTR) {
      continue;
    }
    if (Clock::now() >= deadline) {
      return refuse(Failure::image_locked, "another process has held a lock on " + quoted(source.path) +
                                               " for " + std::to_string(options.waitSeconds) +
                                               " s; giving up (--wait sets how long to wait)");
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
Result<Source> openImage(const std::string& path, const Options& options) {
  Source source;
  source.path = path;
  const auto cannotOpen = [&path](int code) {
    return refuse(Failure::image_unreadable, fileio::systemError("cannot open image " + quoted(path), code));
  };
  const auto notRegular = [&path, &source] {
    return refuse(Failure::not_a_regular_file,
                  quoted(path) + (S_ISCHR(source.before.st_mode)
                                      ? " is a character device, not a regular file"
                                      : " is not a regular file"));
  };
  if (!inPlace(options)) {
    source.fd.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!source.fd.valid() || fstat(source.fd.get(), &source.before) != 0) {
      return cannotOpen(errno);
    }
    if (!S_ISREG(source.before.st_mode)) {
      return notRegular();
    }
    if (auto recorded = recordVersion(source); !recorded) {
      return tl::make_unexpected(recorded.error());
    }
    return source;
  }

  constexpr int ATTEMPTS = 100;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    auto place = fileio::placeOf(path);
    if (!place) {
      return refuse(placeFailure(place.error(), Failure::image_unreadable), place.error());
    }
    const int follow = place->kernelLink ? 0 : O_NOFOLLOW;
    source.fd.reset(
        openat(place->dir.get(), place->name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | follow));
    if (!source.fd.valid()) {
      const int code = errno;
      if (place->exists && (code == ELOOP || code == ENOENT)) {
        continue; // replaced by a link, or removed, since it was found
      }
      return cannotOpen(code);
    }
    if (fstat(source.fd.get(), &source.before) != 0) {
      return cannotOpen(errno);
    }
    if (!S_ISREG(source.before.st_mode)) {
      return notRegular();
    }
    if (auto allowed = fileio::checkShared(*place, source.before); !allowed) {
      return refuse(Failure::path_refused, allowed.error());
    }
    // A dry run changes nothing, so it neither takes the lock nor waits.
    if (!options.dryRun) {
      if (auto locked = lockImage(source, options); !locked) {
        return tl::make_unexpected(locked.error());
      }
    }
    struct stat now {};
    if (fstatat(place->dir.get(), place->name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        fileio::sameFile(now, source.before)) {
      // What the change checks compare with is the image as it is now that
      // this run has it to itself.
      source.place = std::move(*place);
      if (auto recorded = recordVersion(source); !recorded) {
        return tl::make_unexpected(recorded.error());
      }
      return source;
    }
  }
  return refuse(Failure::image_changed, "the image " + quoted(path) + " keeps being replaced");
}

// Reads what every operation needs to know about the image and decides,
// for `operation`, what the new image holds or why there is none; what the
// run will do goes into `outcome`.
Result<Plan> prepare(const Source& source, Operation operation, const Options& options, Outcome& outcome) {
  const std::string& path = source.path;
  const Inspection inspection = inspect(source.fd.get());
  if (inspection.location.status == Status::no_trailer) {
    if (inspection.location.readError) {
      return refuse(Failure::image_unreadable,
                    inspection.location.readError->within("cannot read the end of " + quoted(path)));
    }
    return refuse(Failure::no_trailer,
                  quoted(path) + " does not end in a 512-byte UDIF trailer ('koly' block not found)");
  }
  const Signature& signature = inspection.signature;
  if (signature.layout == code_signature::Layout::unreadable) {
    const fileio::Error cause = signature.readError.value_or(fileio::systemError(0));
    return refuse(Failure::image_unreadable,
                  cause.within("cannot read the code signature of " + quoted(path)));
  }
  Plan plan;
  const std::uint64_t trailerOffset = inspection.location.fileSize - TRAILER_SIZE;
  if (auto read = fileio::readAt(source.fd.get(), trailerOffset, plan.trailer.data(), plan.trailer.size());
      !read) {
    return refuse(Failure::image_unreadable,
                  read.error().within("cannot read the trailer of " + quoted(path)));
  }
  if (signature.present() && !signature.valid()) {
    return refuse(Failure::bad_signature,
                  quoted(path) + " records a code signature of " + std::to_string(signature.length) +
                      " bytes at offset " + std::to_string(signature.offset) + ", but " +
                      code_signature::explain(signature) +
                      ": nothing tells which bytes are the signature, so the image is left as it is");
  }

  // The image the work is done on: the file itself, or, for a signed one,
  // the image as it was before it was signed (a profile stamped before
  // signing lies there, in front of the signature).
  const Location location = signature.valid() ? *inspection.beforeSignature : inspection.location;
  const std::uint64_t contentEnd = signature.valid() ? signature.offset : trailerOffset;
  const bool takeSignatureOff = signature.valid() && (operation == Operation::unsign || options.unsign);
  plan.signatureOffset = signature.valid() ? signature.offset : 0;
  if (takeSignatureOff) {
    code_signature::clearFields(plan.trailer.data());
    outcome.unsignedImage = true;
    outcome.signatureLength = signature.length;
  }

  if (operation == Operation::unsign && !signature.valid()) {
    return refuse(Failure::not_signed, quoted(path) + " carries no code signature to remove");
  }
  if (operation == Operation::remove && location.status != Status::ok &&
      location.status != Status::length_too_large) {
    return refuse(Failure::no_profile, quoted(path) + " carries no profile to remove: " +
                                           profile_trailer::readerMessage(location));
  }
  if (signature.valid() && !takeSignatureOff) {
    return refuse(Failure::signed_image,
                  quoted(path) + " is code-signed (a signature of " + std::to_string(signature.length) +
                      " bytes at offset " + std::to_string(signature.offset) + "). " +
                      (operation == Operation::write ? "Stamping it" : "Removing its profile") +
                      " would break the signature, and macOS reports a disk image whose signature does not "
                      "verify as damaged. Pass --unsign to remove the signature as well");
  }
  if (operation != Operation::unsign && location.status == Status::length_too_large) {
    // Type and magic match, so this is a descriptor, but it cannot say
    // where its profile starts: neither a new profile nor a removal can
    // leave a consistent image behind.
    return refuse(Failure::damaged_descriptor, quoted(path) + " carries a damaged profile descriptor: " +
                                                   profile_trailer::readerMessage(location));
  }
  if (operation == Operation::write && location.status == Status::ok && !options.replace) {
    return refuse(Failure::profile_present, quoted(path) + " already carries a profile (" +
                                                std::to_string(location.length) + " bytes at offset " +
                                                std::to_string(location.profileOffset) +
                                                "); pass --replace to swap it for the new one");
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
  return plan;
}

// Where a new file goes: the image's own name (through symbolic links,
// which stay links) or the output path, under the shared-directory rules.
Result<fileio::Place> destinationOf(Source& source, const Options& options) {
  if (inPlace(options)) {
    return std::move(*source.place);
  }
  auto place = fileio::placeOf(options.out);
  if (!place) {
    if (place.error().code == EISDIR) {
      return refuse(Failure::output_unusable, "the output " + quoted(options.out) + " names a directory");
    }
    return refuse(placeFailure(place.error(), Failure::write_failed), place.error());
  }
  if (place->exists) {
    if (fileio::sameFile(place->info, source.before)) {
      return refuse(Failure::output_is_image, "the output " + quoted(options.out) + " is the image itself");
    }
    if (!S_ISREG(place->info.st_mode)) {
      return refuse(Failure::output_unusable,
                    "the output " + quoted(options.out) + " exists and is not a regular file");
    }
    if (auto allowed = fileio::checkShared(*place, place->info); !allowed) {
      return refuse(Failure::path_refused, allowed.error());
    }
  }
  return std::move(*place);
}

// Where the new image's bytes go: positional writes into a new file, or
// writes in order into a stream (`what` names it in messages).
struct Sink {
  int fd = -1;
  bool positional = true;
  std::string what;
  Result<void> put(const std::uint8_t* data, std::size_t size, std::uint64_t at) const {
    auto wrote = positional ? fileio::writeAllAt(fd, data, size, at) : fileio::writeAll(fd, data, size);
    if (!wrote) {
      return refuse(Failure::write_failed, wrote.error().within("cannot write " + what));
    }
    return {};
  }
};

// How the new image is named in messages about writing it.
const char* const NEW_FILE = "the new image";
const char* const NEW_STREAM = "the new image to the output";

// Reads the profile from `profileFd` to its end, handing each piece and its
// offset in the profile to `take`, and refusing a profile longer than its
// 32-bit length field can describe after at most 4 GiB.
template <typename Take> Result<void> readProfile(int profileFd, Take take) {
  std::vector<std::uint8_t> buffer(fileio::BUFFER_SIZE);
  std::uint64_t length = 0;
  for (;;) {
    auto got = fileio::readSome(profileFd, buffer.data(), buffer.size());
    if (!got) {
      return refuse(Failure::profile_unreadable, got.error().within("cannot read the profile"));
    }
    if (*got == 0) {
      return {};
    }
    if (length + *got > MAX_PROFILE_LENGTH) {
      return refuse(Failure::profile_too_long, "the profile is longer than " +
                                                   std::to_string(MAX_PROFILE_LENGTH) +
                                                   " bytes, the most its 32-bit length field can describe");
    }
    if (auto taken = take(buffer.data(), *got, length); !taken) {
      return taken;
    }
    length += *got;
  }
}

// Writes what follows the kept bytes: the profile and its descriptor (for a
// write), then the trailer; the new image's size.
Result<std::uint64_t> appendTail(const Plan& plan, const Sink& sink, Outcome& outcome) {
  std::uint64_t end = plan.keep;
  if (plan.operation == Operation::write) {
    std::uint64_t length = 0;
    if (plan.profile != nullptr) {
      length = plan.profile->size();
      if (auto put = sink.put(plan.profile->data(), plan.profile->size(), end); !put) {
        return tl::make_unexpected(put.error());
      }
    } else if (auto streamed = readProfile(plan.profileFd,
                                           [&](const std::uint8_t* data, std::size_t size, std::uint64_t at) {
                                             length = at + size;
                                             return sink.put(data, size, end + at);
                                           });
               !streamed) {
      return tl::make_unexpected(streamed.error());
    }
    const auto descriptor = profile_trailer::encodeDescriptor(static_cast<std::uint32_t>(length));
    if (auto put = sink.put(descriptor.data(), descriptor.size(), end + length); !put) {
      return tl::make_unexpected(put.error());
    }
    outcome.profileOffset = end;
    outcome.profileLength = length;
    end += length + DESCRIPTOR_SIZE;
  }
  if (auto put = sink.put(plan.trailer.data(), plan.trailer.size(), end); !put) {
    return tl::make_unexpected(put.error());
  }
  end += TRAILER_SIZE;
  outcome.imageSize = end;
  return end;
}

// Whether the image is still the version that was read.
Result<void> checkUnchanged(const Source& source, const char* afterwards = "") {
  struct stat after {};
  if (fstat(source.fd.get(), &after) != 0 || !fileio::sameVersion(source.before, after)) {
    return refuse(Failure::image_changed,
                  "the image " + quoted(source.path) + " changed while it was being read" + afterwards);
  }
  return {};
}

mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Reads the whole profile, for a run whose new image must be known before it
// is written (a dry run, a range, an expected validator).
Result<std::vector<std::uint8_t>> loadProfile(int profileFd) {
  std::vector<std::uint8_t> bytes;
  try {
    auto read = readProfile(profileFd, [&](const std::uint8_t* data, std::size_t size, std::uint64_t) {
      bytes.insert(bytes.end(), data, data + size);
      return Result<void>();
    });
    if (!read) {
      return tl::make_unexpected(read.error());
    }
  } catch (const std::bad_alloc&) {
    return refuse(Failure::profile_unreadable,
                  "not enough memory to hold the profile of more than " + std::to_string(bytes.size()) +
                      " bytes (a dry run, a range or an expected validator needs all of it at once)");
  }
  return bytes;
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

// The new image's validator (see ETAG_PREFIX in stamp.h for what it is made
// of and what it cannot see).
Result<std::string> etagOf(const Source& source, const Plan& plan) {
  Fingerprint fingerprint;
  const auto size = static_cast<std::uint64_t>(source.before.st_size);
  fingerprint.add(size);
  fingerprint.add(static_cast<std::uint64_t>(fileio::modificationTime(source.before).tv_sec));
  fingerprint.add(static_cast<std::uint64_t>(fileio::modificationTime(source.before).tv_nsec));
  std::array<std::uint8_t, TRAILER_SIZE + DESCRIPTOR_SIZE> end{};
  const auto endSize = static_cast<std::size_t>(std::min<std::uint64_t>(end.size(), size));
  std::array<std::uint8_t, DESCRIPTOR_SIZE> beforeSignature{};
  auto read = fileio::readAt(source.fd.get(), size - endSize, end.data(), endSize);
  if (read && plan.signatureOffset >= DESCRIPTOR_SIZE) {
    read = fileio::readAt(source.fd.get(), plan.signatureOffset - DESCRIPTOR_SIZE, beforeSignature.data(),
                          beforeSignature.size());
  }
  if (!read) {
    return refuse(Failure::image_unreadable,
                  read.error().within("cannot read the end of " + quoted(source.path)));
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
  return std::string("\"") + ETAG_PREFIX + digits + "\"";
}

// The range as the messages show it.
std::string textOf(const ByteRange& range) {
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
Result<void> emit(const std::vector<Piece>& pieces, std::uint64_t first, std::uint64_t end, int target,
                  CopyLimit limit, Outcome& outcome) {
  const fileio::Ends ends{"the image", NEW_STREAM};
  std::uint64_t at = 0;
  for (const Piece& piece : pieces) {
    const std::uint64_t from = std::max(first, at);
    const std::uint64_t to = std::min(end, at + piece.length);
    if (from < to) {
      if (piece.fd >= 0) {
        auto copied =
            fileio::copyToStream(piece.fd, piece.offset + (from - at), to - from, target, limit, ends);
        if (!copied) {
          return refuse(Failure::write_failed, copied.error());
        }
        outcome.copy = *copied;
      } else if (auto wrote =
                     fileio::writeAll(target, piece.data + (from - at), static_cast<std::size_t>(to - from));
                 !wrote) {
        return refuse(Failure::write_failed, wrote.error().within(std::string("cannot write ") + NEW_STREAM));
      }
    }
    at += piece.length;
  }
  return {};
}

// Writes the new image that `plan` describes, its profile read, to a stream:
// whole, or only the range asked for. Only the image's bytes in that range
// are read.
Result<Outcome> streamKnown(const Source& source, const Plan& plan, const Options& options, Outcome outcome) {
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
  if (auto emitted = emit(pieces, first, last + 1, options.outFd, options.copy, outcome); !emitted) {
    return tl::make_unexpected(emitted.error());
  }
  if (auto unchanged = checkUnchanged(source, "; the output is not to be used"); !unchanged) {
    return tl::make_unexpected(unchanged.error());
  }
  return outcome;
}

// Refuses a standard output that is the image itself: reading and writing
// one file at once would corrupt it.
Result<void> checkStreamIsNotTheImage(const Source& source, int outFd) {
  struct stat out {};
  if (fstat(outFd, &out) == 0 && fileio::sameFile(out, source.before)) {
    return refuse(Failure::output_is_image, "the output (standard output) is the image itself");
  }
  return {};
}

// What a dry run checks beyond the image and the profile: that the output
// could be written, without writing or creating anything.
Result<Outcome> checkOutput(Source& source, const Options& options, Outcome outcome) {
  if (options.outFd >= 0) {
    if (auto checked = checkStreamIsNotTheImage(source, options.outFd); !checked) {
      return tl::make_unexpected(checked.error());
    }
    return outcome;
  }
  auto destination = destinationOf(source, options);
  if (!destination) {
    return tl::make_unexpected(destination.error());
  }
  if (faccessat(destination->dir.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    const int code = errno;
    return refuse(
        Failure::write_failed,
        fileio::systemError("cannot create the new file next to " + quoted(destination->path), code));
  }
  return outcome;
}

// Assembles the new image next to its destination and renames it over it.
Result<Outcome> assembleFile(Source& source, const Plan& plan, const Options& options, Outcome outcome) {
  auto destination = destinationOf(source, options);
  if (!destination) {
    return tl::make_unexpected(destination.error());
  }
  fileio::AtomicFile temp(*destination, TEMPORARY_TAG);
  // What a run ended by SIGKILL or a power loss left for this destination
  // goes first; files of runs still at work are locked and stay, and so do
  // the files this run was given, whatever their names.
  std::vector<struct stat> given{source.before};
  struct stat profile {};
  if (plan.profileFd >= 0 && fstat(plan.profileFd, &profile) == 0) {
    given.push_back(profile);
  }
  for (const std::string& leftover : fileio::removeLeftovers(*destination, TEMPORARY_TAG, given)) {
    tell(options, "removed " + quoted(leftover) + ", left behind by a run that was ended before it finished");
  }

  outcome.copiedBytes = plan.keep;
  if (options.copy == CopyLimit::cheapest && temp.createClone(source.fd.get())) {
    if (ftruncate(temp.fd(), static_cast<off_t>(plan.keep)) != 0) {
      const int code = errno;
      return refuse(Failure::write_failed, fileio::systemError("cannot cut the cloned image", code));
    }
    outcome.copy = CopyMethod::clone;
  } else {
    if (auto created = temp.create(); !created) {
      return refuse(Failure::write_failed, created.error());
    }
    auto copied =
        fileio::copyPrefix(source.fd.get(), temp.fd(), plan.keep, options.copy, {"the image", NEW_FILE});
    if (!copied) {
      return refuse(Failure::write_failed, copied.error());
    }
    outcome.copy = *copied;
    // What a clone carries by itself, so that the new image is the same
    // whichever way its bytes were copied. What the new file cannot take is
    // left out and told.
    auto carried = fileio::copyExtendedAttributes(source.fd.get(), temp.fd());
    if (!carried) {
      return refuse(Failure::write_failed, carried.error());
    }
    for (const fileio::Error& leftOut : *carried) {
      tell(options, leftOut.message);
    }
  }

  const auto end = appendTail(plan, Sink{temp.fd(), true, NEW_FILE}, outcome);
  if (!end) {
    return tl::make_unexpected(end.error());
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
  if (!profileReadsBack || written.fileSize != *end ||
      code_signature::read(temp.fd(), written.fileSize).present()) {
    return refuse(Failure::write_failed, "the new image does not read back as written");
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
    const int code = errno;
    return refuse(Failure::write_failed,
                  fileio::systemError("cannot set the permissions of the new image", code));
  }
  if (auto flushed = temp.flush(); !flushed) {
    return refuse(Failure::write_failed, flushed.error());
  }

  // A writer that changed the image meanwhile would have its change lost
  // by the rename, or leave a copy of bytes from two versions; an image
  // replaced by another file meanwhile is not the one that was copied.
  if (auto unchanged = checkUnchanged(source); !unchanged) {
    return tl::make_unexpected(unchanged.error());
  }
  struct stat atName {};
  if (inPlace(options) &&
      (fstatat(destination->dir.get(), destination->name.c_str(), &atName, AT_SYMLINK_NOFOLLOW) != 0 ||
       !fileio::sameFile(atName, source.before))) {
    return refuse(Failure::image_changed,
                  "the image " + quoted(source.path) + " changed while it was being read");
  }
  if (auto committed = temp.commit(); !committed) {
    return refuse(Failure::write_failed, committed.error());
  }
  return outcome;
}

// Writes the new image to a stream. Nothing is created on disk; a failure
// part-way leaves the reader with an incomplete image and the run with a
// failure status.
Result<Outcome> assembleStream(const Source& source, const Plan& plan, const Options& options,
                               Outcome outcome) {
  if (auto checked = checkStreamIsNotTheImage(source, options.outFd); !checked) {
    return tl::make_unexpected(checked.error());
  }
  if (plan.known) {
    return streamKnown(source, plan, options, outcome);
  }
  outcome.copiedBytes = plan.keep;
  auto copied = fileio::copyToStream(source.fd.get(), 0, plan.keep, options.outFd, options.copy,
                                     {"the image", NEW_STREAM});
  if (!copied) {
    return refuse(Failure::write_failed, copied.error());
  }
  outcome.copy = *copied;
  if (auto end = appendTail(plan, Sink{options.outFd, false, NEW_STREAM}, outcome); !end) {
    return tl::make_unexpected(end.error());
  }
  if (auto unchanged = checkUnchanged(source, "; the output is not to be used"); !unchanged) {
    return tl::make_unexpected(unchanged.error());
  }
  return outcome;
}

// The new image, worked out before a byte of it is written (a dry run, a
// range, an expected validator): its profile read, its size and validator,
// the validator and the range checked. A failure from here on carries the
// size and validator, for a server to answer from.
Result<void> knowBeforeWriting(const Source& source, Plan& plan, const Options& options, Outcome& outcome) {
  plan.known = true;
  outcome.imageSize = sizeOf(plan);
  auto etag = etagOf(source, plan);
  if (!etag) {
    return tl::make_unexpected(etag.error());
  }
  outcome.etag = *etag;
  const auto known = [&outcome](Failure failure, std::string message) {
    return tl::make_unexpected(Error{failure, std::move(message), outcome.imageSize, outcome.etag});
  };
  if (options.ifEtag && *options.ifEtag != outcome.etag) {
    return known(Failure::etag_mismatch, "the new image's validator is " + outcome.etag + ", not " +
                                             *options.ifEtag + ": the image or the profile changed");
  }
  if (options.range) {
    outcome.written = resolve(*options.range, outcome.imageSize);
    if (!outcome.written) {
      return known(Failure::range_unsatisfiable,
                   "the range " + textOf(*options.range) + " selects none of the " +
                       std::to_string(outcome.imageSize) + " bytes of the new image");
    }
  }
  return {};
}

Result<Outcome> run(const std::string& image, Operation operation, int profileFd, const Options& options) {
  auto source = openImage(image, options);
  if (!source) {
    return tl::make_unexpected(source.error());
  }
  Outcome outcome;
  auto plan = prepare(*source, operation, options, outcome);
  if (!plan) {
    return tl::make_unexpected(plan.error());
  }
  std::vector<std::uint8_t> profile;
  if (operation == Operation::write) {
    struct stat profileFile {};
    if (fstat(profileFd, &profileFile) == 0 && S_ISREG(profileFile.st_mode) &&
        static_cast<std::uint64_t>(profileFile.st_size) > MAX_PROFILE_LENGTH) {
      // Refused before a multi-gigabyte image is copied for nothing.
      return refuse(Failure::profile_too_long, "the profile is " + std::to_string(profileFile.st_size) +
                                                   " bytes long; its 32-bit length field allows at most " +
                                                   std::to_string(MAX_PROFILE_LENGTH));
    }
    plan->profileFd = profileFd;
  }
  if (options.dryRun || options.range || options.ifEtag) {
    if (operation == Operation::write) {
      auto loaded = loadProfile(profileFd);
      if (!loaded) {
        return tl::make_unexpected(loaded.error());
      }
      profile = std::move(*loaded);
      plan->profile = &profile;
      outcome.profileOffset = plan->keep;
      outcome.profileLength = profile.size();
    }
    if (auto known = knowBeforeWriting(*source, *plan, options, outcome); !known) {
      return tl::make_unexpected(known.error());
    }
    if (options.dryRun) {
      auto checked = checkOutput(*source, options, outcome);
      if (!checked) {
        Error error = checked.error();
        error.imageSize = outcome.imageSize;
        error.etag = outcome.etag;
        return tl::make_unexpected(error);
      }
      return checked;
    }
  }
  return options.outFd >= 0 ? assembleStream(*source, *plan, options, outcome)
                            : assembleFile(*source, *plan, options, outcome);
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
    inspection.signature = code_signature::read(fd, inspection.location.fileSize);
    if (inspection.signature.valid()) {
      inspection.beforeSignature = profile_trailer::locateInFrontOf(fd, inspection.signature.offset);
    }
  }
  return inspection;
}

Result<Outcome> stampProfile(const std::string& image, int profileFd, const Options& options) {
  return run(image, Operation::write, profileFd, options);
}

Result<Outcome> removeProfile(const std::string& image, const Options& options) {
  return run(image, Operation::remove, -1, options);
}

Result<Outcome> removeSignature(const std::string& image, const Options& options) {
  return run(image, Operation::unsign, -1, options);
}

Result<Outcome> extractProfile(const std::string& image, const Options& options, std::ostream& log) {
  const profile_trailer::Found found = profile_trailer::openProfile(image, log);
  const Location& location = found.location;
  // The reader has printed why; the failure tells the kind.
  switch (location.status) {
  case Status::ok:
    break;
  case Status::no_trailer:
    return refuse(location.readError ? Failure::image_unreadable : Failure::no_trailer, "");
  case Status::wrong_type:
  case Status::magic_mismatch:
    return refuse(Failure::no_profile, "");
  case Status::length_too_large:
    return refuse(Failure::damaged_descriptor, "");
  }
  const bool toFile = options.outFd < 0;
  const std::string output = toFile ? quoted(options.out) : "standard output";
  fileio::Output file;
  int target = options.outFd;
  if (toFile) {
    auto opened = fileio::openOutput(options.out, fileio::FifoWait::never);
    if (!opened) {
      return refuse(placeFailure(opened.error(), Failure::write_failed), opened.error());
    }
    file = std::move(*opened);
    target = file.descriptor();
  } else if (fstat(target, &file.info) != 0) {
    file.info = {};
  }
  // Checked before anything is truncated or written: the profile written
  // into the image it comes from would leave an image without its trailer.
  struct stat imageInfo {};
  if (fstat(found.file.get(), &imageInfo) == 0 && fileio::sameFile(imageInfo, file.info)) {
    return refuse(Failure::output_is_image, toFile ? "the output " + output + " is the image itself"
                                                   : "the output (standard output) is the image itself");
  }
  if (toFile) {
    if (auto cut = fileio::truncate(file, options.out); !cut) {
      return refuse(Failure::write_failed, cut.error());
    }
  }
  Outcome outcome;
  auto copied = fileio::copyToStream(found.file.get(), location.profileOffset, location.length, target,
                                     options.copy, {"the profile", "the profile to " + output});
  if (!copied) {
    return refuse(Failure::write_failed, copied.error());
  }
  outcome.copy = *copied;
  if (toFile) {
    if (auto finished = fileio::finish(file); !finished) {
      return refuse(Failure::write_failed, finished.error().within("cannot write the profile to " + output));
    }
  }
  outcome.profileOffset = location.profileOffset;
  outcome.profileLength = location.length;
  return outcome;
}

void discardPendingOutput() {
  fileio::discardPendingFile();
}

} // namespace stamp
