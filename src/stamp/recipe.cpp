#include "stamp/recipe.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <unistd.h>

#include "fileio/byte_order.h"
#include "fileio/io.h"
#include "profile/code_signature.h"
#include "stamp/refuse.h"

namespace stamp {

namespace {

using code_signature::Signature;
using fileio::quoted;
using profile_trailer::DESCRIPTOR_SIZE;
using profile_trailer::Location;
using profile_trailer::Status;
using profile_trailer::TRAILER_SIZE;

constexpr const char* MADE_IN_MEMORY = " (the new image's tail is made in memory)";

// A profile that did not fit in memory, `held` bytes of it read.
tl::unexpected<Error> tooLargeForMemory(std::uint64_t held) {
  return refuse(Failure::out_of_memory, "not enough memory to hold the profile of more than " +
                                            std::to_string(held) + " bytes" + MADE_IN_MEMORY);
}

// A regular file of `size` bytes, more than the length field can describe.
tl::unexpected<Error> longerThanTheLengthField(std::uint64_t size) {
  return refuse(Failure::profile_too_long, "the profile is " + std::to_string(size) +
                                               " bytes long; its 32-bit length field allows at most " +
                                               std::to_string(MAX_PROFILE_LENGTH));
}

tl::unexpected<Error> longerThanTheLengthField() {
  return refuse(Failure::profile_too_long, "the profile is longer than " +
                                               std::to_string(MAX_PROFILE_LENGTH) +
                                               " bytes, the most its 32-bit length field can describe");
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
Result<std::string> etagOf(const ImageFile& image, const Plan& plan,
                           const std::vector<std::uint8_t>& profile) {
  Fingerprint fingerprint;
  const auto size = static_cast<std::uint64_t>(image.version.st_size);
  fingerprint.add(size);
  fingerprint.add(static_cast<std::uint64_t>(fileio::modificationTime(image.version).tv_sec));
  fingerprint.add(static_cast<std::uint64_t>(fileio::modificationTime(image.version).tv_nsec));
  std::array<std::uint8_t, DESCRIPTOR_SIZE> beforeSignature{};
  if (plan.signatureOffset >= DESCRIPTOR_SIZE) {
    if (auto read = fileio::readAt(image.fd, plan.signatureOffset - DESCRIPTOR_SIZE, beforeSignature.data(),
                                   beforeSignature.size());
        !read) {
      return refuse(Failure::image_unreadable,
                    read.error().within("cannot read the end of " + quoted(image.name)));
    }
  }
  // The end as plan() read it, in the version `image.version` describes.
  fingerprint.add(plan.end.data(), static_cast<std::size_t>(plan.endSize));
  fingerprint.add(beforeSignature.data(), beforeSignature.size());
  fingerprint.add(plan.keep);
  fingerprint.add(plan.trailer.data(), plan.trailer.size());
  if (plan.operation == Operation::write) {
    fingerprint.add(profile.size());
    fingerprint.add(profile.data(), profile.size());
  }
  static constexpr char HEX[] = "0123456789abcdef";
  std::string digits(16, '0');
  for (std::size_t i = 0; i < digits.size(); ++i) {
    digits[i] = HEX[(fingerprint.value() >> (60 - 4 * i)) & 0xfu];
  }
  return std::string("\"") + ETAG_PREFIX + digits + "\"";
}

// Makes room for a profile of `length` bytes and the descriptor and trailer
// that complete() appends to it.
Result<void> makeRoom(std::vector<std::uint8_t>& bytes, std::uint64_t length) {
  try {
    bytes.reserve(static_cast<std::size_t>(length + DESCRIPTOR_SIZE + TRAILER_SIZE));
  } catch (const std::bad_alloc&) {
    return refuse(Failure::out_of_memory, "not enough memory to hold the profile of " +
                                              std::to_string(length) + " bytes" + MADE_IN_MEMORY);
  }
  return {};
}

// Reads from the descriptor's offset to the end of input, in pieces, so that
// a pipe longer than the length field allows is refused after at most that
// many bytes.
Result<void> readOnward(int profileFd, std::vector<std::uint8_t>& bytes) {
  // A regular file says how much is coming: a profile too large for memory
  // is refused before it is read.
  struct stat info {};
  const off_t at = lseek(profileFd, 0, SEEK_CUR);
  if (fstat(profileFd, &info) == 0 && S_ISREG(info.st_mode) && at >= 0 && at <= info.st_size &&
      static_cast<std::uint64_t>(info.st_size - at) <= MAX_PROFILE_LENGTH) {
    if (auto room = makeRoom(bytes, static_cast<std::uint64_t>(info.st_size - at)); !room) {
      return room;
    }
  }
  std::vector<std::uint8_t> buffer(fileio::BUFFER_SIZE);
  for (;;) {
    auto got = fileio::readSome(profileFd, buffer.data(), buffer.size());
    if (!got) {
      return refuse(Failure::profile_unreadable, got.error().within("cannot read the profile"));
    }
    if (*got == 0) {
      return {};
    }
    if (bytes.size() + *got > MAX_PROFILE_LENGTH) {
      return longerThanTheLengthField();
    }
    bytes.insert(bytes.end(), buffer.data(), buffer.data() + *got);
  }
}

tl::unexpected<Error> noTrailer(const std::string& path) {
  return refuse(Failure::no_trailer,
                quoted(path) + " does not end in a 512-byte UDIF trailer ('koly' block not found)");
}

// Reads the whole regular file with pread, as long as fstat says it is; one
// longer than the length field allows is refused as checkProfileLength()
// refuses it.
Result<void> readWholeFile(int profileFd, std::vector<std::uint8_t>& bytes) {
  struct stat info {};
  if (fstat(profileFd, &info) != 0) {
    const int code = errno;
    return refuse(Failure::profile_unreadable, fileio::systemError("cannot examine the profile", code));
  }
  if (!S_ISREG(info.st_mode)) {
    return refuse(Failure::profile_unreadable, "the profile is not a regular file");
  }
  if (static_cast<std::uint64_t>(info.st_size) > MAX_PROFILE_LENGTH) {
    return longerThanTheLengthField(static_cast<std::uint64_t>(info.st_size));
  }
  if (auto room = makeRoom(bytes, static_cast<std::uint64_t>(info.st_size)); !room) {
    return room;
  }
  bytes.resize(static_cast<std::size_t>(info.st_size));
  if (auto read = fileio::readAt(profileFd, 0, bytes.data(), bytes.size()); !read) {
    return refuse(Failure::profile_unreadable, read.error().within("cannot read the profile"));
  }
  return {};
}

// The end of the image did not read in one piece: its pieces are read on
// their own, in the order the reader reads them, so that the message names
// the one that failed (the descriptor, the code signature's fields, the
// trailer); `error` when each reads now.
tl::unexpected<Error> unreadableEnd(const ImageFile& image, const fileio::Error& error) {
  const std::string& path = image.name;
  const Inspection inspection = inspect(image.fd);
  if (inspection.location.readError) {
    return refuse(Failure::image_unreadable,
                  inspection.location.readError->within("cannot read the end of " + quoted(path)));
  }
  if (inspection.location.status == Status::no_trailer) {
    return noTrailer(path);
  }
  if (inspection.signature.layout == code_signature::Layout::unreadable) {
    const fileio::Error cause = inspection.signature.readError.value_or(fileio::systemError(0));
    return refuse(Failure::image_unreadable,
                  cause.within("cannot read the code signature of " + quoted(path)));
  }
  std::array<std::uint8_t, TRAILER_SIZE> trailer{};
  if (auto read = fileio::readAt(image.fd, inspection.location.fileSize - TRAILER_SIZE, trailer.data(),
                                 trailer.size());
      !read) {
    return refuse(Failure::image_unreadable,
                  read.error().within("cannot read the trailer of " + quoted(path)));
  }
  return refuse(Failure::image_unreadable, error.within("cannot read the end of " + quoted(path)));
}

} // namespace

Result<Plan> plan(const ImageFile& image, Operation operation, bool replace, bool unsign) {
  const std::string& path = image.name;
  // The end of the image, read once: the trailer, its descriptor and the
  // signature fields all come from it.
  Plan plan;
  const auto size = static_cast<std::uint64_t>(image.version.st_size);
  plan.endSize = std::min<std::uint64_t>(size, END_SIZE);
  if (size >= TRAILER_SIZE) {
    if (auto read = fileio::readAt(image.fd, size - plan.endSize, plan.end.data(),
                                   static_cast<std::size_t>(plan.endSize));
        !read) {
      return unreadableEnd(image, read.error());
    }
  }
  const Inspection inspection = inspect(image.fd, size, plan.end.data());
  if (inspection.location.status == Status::no_trailer) {
    return noTrailer(path);
  }
  const Signature& signature = inspection.signature;
  if (signature.layout == code_signature::Layout::unreadable) {
    const fileio::Error cause = signature.readError.value_or(fileio::systemError(0));
    return refuse(Failure::image_unreadable,
                  cause.within("cannot read the code signature of " + quoted(path)));
  }
  const std::uint64_t trailerOffset = inspection.location.fileSize - TRAILER_SIZE;
  const auto* trailer = plan.end.data() + (plan.endSize - TRAILER_SIZE);
  std::copy(trailer, trailer + TRAILER_SIZE, plan.trailer.begin());
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
  const bool takeSignatureOff = signature.valid() && (operation == Operation::unsign || unsign);
  plan.signatureOffset = signature.valid() ? signature.offset : 0;
  if (takeSignatureOff) {
    code_signature::clearFields(plan.trailer.data());
    plan.unsigns = true;
    plan.signatureLength = signature.length;
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
  if (operation == Operation::write && location.status == Status::ok && !replace) {
    return refuse(Failure::profile_present, quoted(path) + " already carries a profile (" +
                                                std::to_string(location.length) + " bytes at offset " +
                                                std::to_string(location.profileOffset) +
                                                "); pass --replace to swap it for the new one");
  }

  plan.operation = operation;
  switch (operation) {
  case Operation::write:
    plan.keep = location.status == Status::ok ? location.profileOffset : contentEnd;
    plan.replaces = location.status == Status::ok;
    plan.replacedLength = plan.replaces ? location.length : 0;
    break;
  case Operation::remove:
    plan.keep = location.profileOffset;
    plan.removedOffset = location.profileOffset;
    plan.removedLength = location.length;
    break;
  case Operation::unsign:
    plan.keep = contentEnd;
    break;
  }
  return plan;
}

Result<Recipe> complete(const ImageFile& image, const Plan& plan, std::vector<std::uint8_t> profile) {
  if (plan.operation != Operation::write) {
    profile.clear();
  }
  auto etag = etagOf(image, plan, profile);
  if (!etag) {
    return tl::make_unexpected(etag.error());
  }
  Recipe recipe;
  recipe.plan = plan;
  recipe.etag = std::move(*etag);
  const std::uint64_t length = profile.size();
  try {
    recipe.tail = std::move(profile);
    if (plan.operation == Operation::write) {
      const auto descriptor = profile_trailer::encodeDescriptor(static_cast<std::uint32_t>(length));
      recipe.tail.insert(recipe.tail.end(), descriptor.begin(), descriptor.end());
      recipe.profileLength = length;
    }
    recipe.tail.insert(recipe.tail.end(), plan.trailer.begin(), plan.trailer.end());
  } catch (const std::bad_alloc&) {
    return tooLargeForMemory(length);
  }
  recipe.size = plan.keep + recipe.tail.size();
  return recipe;
}

Result<Recipe> complete(const ImageFile& image, const Plan& plan, int profileFd, ProfileRead how) {
  std::vector<std::uint8_t> profile;
  if (plan.operation == Operation::write) {
    auto loaded = loadProfile(profileFd, how);
    if (!loaded) {
      return tl::make_unexpected(loaded.error());
    }
    profile = std::move(*loaded);
  }
  return complete(image, plan, std::move(profile));
}

Outcome outcomeOf(const Recipe& recipe) {
  const Plan& plan = recipe.plan;
  Outcome outcome;
  outcome.copiedBytes = plan.keep;
  outcome.imageSize = recipe.size;
  outcome.etag = recipe.etag;
  outcome.replaced = plan.replaces;
  outcome.replacedLength = plan.replacedLength;
  outcome.unsignedImage = plan.unsigns;
  outcome.signatureLength = plan.signatureLength;
  switch (plan.operation) {
  case Operation::write:
    outcome.profileOffset = plan.keep;
    outcome.profileLength = recipe.profileLength;
    break;
  case Operation::remove:
    outcome.profileOffset = plan.removedOffset;
    outcome.profileLength = plan.removedLength;
    break;
  case Operation::unsign:
    break;
  }
  return outcome;
}

Result<void> checkProfileLength(int profileFd) {
  struct stat profileFile {};
  if (fstat(profileFd, &profileFile) == 0 && S_ISREG(profileFile.st_mode) &&
      static_cast<std::uint64_t>(profileFile.st_size) > MAX_PROFILE_LENGTH) {
    return longerThanTheLengthField(static_cast<std::uint64_t>(profileFile.st_size));
  }
  return {};
}

Result<std::vector<std::uint8_t>> loadProfile(int profileFd, ProfileRead how) {
  std::vector<std::uint8_t> bytes;
  try {
    Result<void> read;
    switch (how) {
    case ProfileRead::onward:
      read = readOnward(profileFd, bytes);
      break;
    case ProfileRead::whole_file:
      read = readWholeFile(profileFd, bytes);
      break;
    }
    if (!read) {
      return tl::make_unexpected(read.error());
    }
  } catch (const std::bad_alloc&) {
    return tooLargeForMemory(bytes.size());
  } catch (const std::length_error&) {
    return tooLargeForMemory(bytes.size());
  }
  return bytes;
}

Result<Recipe> makeRecipe(const ImageFile& image, Operation operation, bool replace, bool unsign,
                          int profileFd, ProfileRead how) {
  auto planned = plan(image, operation, replace, unsign);
  if (!planned) {
    return tl::make_unexpected(planned.error());
  }
  // Read as a whole file, the profile's length is checked on the fstat that
  // reads it.
  if (operation == Operation::write && how == ProfileRead::onward) {
    if (auto fits = checkProfileLength(profileFd); !fits) {
      return tl::make_unexpected(fits.error());
    }
  }
  return complete(image, *planned, profileFd, how);
}

} // namespace stamp
