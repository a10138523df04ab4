#include "stamp/stamp.h"

#include <algorithm>
#include <sys/stat.h>

#include "fileio/atomic_file.h"
#include "fileio/io.h"
#include "fileio/output_file.h"
#include "stamp/file_output.h"
#include "stamp/image_source.h"
#include "stamp/recipe.h"
#include "stamp/refuse.h"
#include "stamp/stream_output.h"

namespace stamp {

namespace {

using fileio::quoted;
using profile_trailer::DESCRIPTOR_SIZE;
using profile_trailer::Location;
using profile_trailer::Status;
using profile_trailer::TRAILER_SIZE;

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

// The checks a run makes once its new image is known and before a byte of
// it is written: the validator expected, the range asked for. A failure
// carries the size and validator, for a server to answer from.
Result<void> checkBeforeWriting(const Options& options, Outcome& outcome) {
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

// What a dry run checks beyond the image and the profile: that the output
// could be written, without writing or creating anything. A failure carries
// the size and validator.
Result<Outcome> checkOutput(Source& source, const Options& options, Outcome outcome) {
  auto checked = options.outFd >= 0 ? checkStream(source, options.outFd) : checkFileOutput(source, options);
  if (!checked) {
    Error error = checked.error();
    error.imageSize = outcome.imageSize;
    error.etag = outcome.etag;
    return tl::make_unexpected(error);
  }
  return outcome;
}

// Whether the profile comes from something other than a regular file (a
// pipe, a terminal, a socket), which may still be writing it.
bool mayStillArrive(int profileFd) {
  struct stat info {};
  return fstat(profileFd, &info) != 0 || !S_ISREG(info.st_mode);
}

// Every change: the image opened, what it allows planned, the recipe
// completed with the profile, and the new image written by the output
// asked for (or, in a dry run, only checked).
Result<Outcome> run(const std::string& image, Operation operation, int profileFd, const Options& options) {
  auto source = openImage(image, options);
  if (!source) {
    return tl::make_unexpected(source.error());
  }
  const ImageFile file = source->file();
  auto planned = plan(file, operation, options.replace, options.unsign);
  if (!planned) {
    return tl::make_unexpected(planned.error());
  }
  if (operation == Operation::write) {
    // Refused before a multi-gigabyte image is copied for nothing.
    if (auto fits = checkProfileLength(profileFd); !fits) {
      return tl::make_unexpected(fits.error());
    }
  }
  const auto finish = [&] { return complete(file, *planned, profileFd, ProfileRead::onward); };
  const int spared = operation == Operation::write ? profileFd : -1;

  // A file starts with the image's bytes, so it copies them while a profile
  // on a pipe is still arriving. Otherwise the recipe comes first: a
  // stream, a dry run, a range and an expected validator need all of it
  // before the first byte, and a profile in a regular file that cannot be
  // read or held fails the run before a large image is copied for nothing.
  if (options.outFd < 0 && !options.dryRun && !options.range && !options.ifEtag &&
      operation == Operation::write && mayStillArrive(profileFd)) {
    return writeFile(*source, *planned, spared, finish, options);
  }
  auto recipe = finish();
  if (!recipe) {
    return tl::make_unexpected(recipe.error());
  }
  Outcome outcome = outcomeOf(*recipe);
  if (auto checked = checkBeforeWriting(options, outcome); !checked) {
    return tl::make_unexpected(checked.error());
  }
  if (options.dryRun) {
    return checkOutput(*source, options, outcome);
  }
  if (options.outFd >= 0) {
    return writeStream(*source, *recipe, options, outcome);
  }
  return writeFile(
      *source, *planned, spared, [&recipe]() -> Result<Recipe> { return std::move(*recipe); }, options);
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

Inspection inspect(int fd, std::uint64_t fileSize, const std::uint8_t* end) {
  Inspection inspection;
  inspection.location = profile_trailer::locateInEnd(end, fileSize);
  if (inspection.location.status != Status::no_trailer) {
    const std::uint64_t endSize = std::min<std::uint64_t>(fileSize, TRAILER_SIZE + DESCRIPTOR_SIZE);
    inspection.signature = code_signature::read(fd, fileSize, end + (endSize - TRAILER_SIZE));
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
