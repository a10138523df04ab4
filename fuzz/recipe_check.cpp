#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "checks.h"
#include "fileio/byte_order.h"
#include "fileio/fd.h"
#include "profile/code_signature.h"
#include "profile/profile_trailer.h"
#include "stamp/recipe_c.h"
#include "support/two_groups.h"

namespace fuzzcheck {

using testsupport::visible;

namespace {

constexpr std::uint8_t GUARD = 0x7f;
constexpr std::size_t GUARD_SIZE = 8;

// The input split into what the call gets.
struct Call {
  unsigned options = 0;
  std::size_t messageSize = 0;
  std::string_view image;
  std::string_view profile;
};

// Byte 0: the options (bits 0 and 1) and the message buffer's size (bits 2
// to 7: 0 gives a roomy 1024 bytes, 63 none at all, any other value that
// many bytes). Then the image's length as a little-endian base-128 number,
// the image, and the profile: the rest.
Call split(std::string_view input) {
  Call call;
  if (input.empty()) {
    call.messageSize = 1024;
    return call;
  }
  const auto head = static_cast<std::uint8_t>(input[0]);
  call.options = head & 0x3u;
  const unsigned sizeCode = head >> 2;
  call.messageSize = sizeCode == 0 ? 1024 : sizeCode == 63 ? 0 : sizeCode;
  std::size_t at = 1;
  std::uint64_t length = 0;
  for (unsigned shift = 0; at < input.size() && shift < 64; shift += 7) {
    const auto byte = static_cast<std::uint8_t>(input[at++]);
    length |= static_cast<std::uint64_t>(byte & 0x7fu) << shift;
    if ((byte & 0x80u) == 0) {
      break;
    }
  }
  const std::string_view rest = input.substr(at);
  call.image = rest.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(length, rest.size())));
  call.profile = rest.substr(call.image.size());
  return call;
}

std::uint64_t bigEndian64(std::string_view bytes, std::size_t at) {
  return fileio::readBigEndian<std::uint64_t>(reinterpret_cast<const std::uint8_t*>(bytes.data() + at));
}

std::uint32_t bigEndian32(std::string_view bytes, std::size_t at) {
  return fileio::readBigEndian<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(bytes.data() + at));
}

// The new image as the layout says it must be, read straight from the bytes
// with the layout's numbers written out again here (not the library's
// constants): a trailer that starts with "koly" in the last 512 bytes; code
// signature fields at 296 (offset) and 304 (length) of it, describing one
// blob (fa de 0c c0, its own 32-bit length) that ends where the trailer
// begins; a 16-byte descriptor (32-bit length, 'A', 11 magic bytes) in front
// of the trailer, or of the signature. Nothing when the image is refused.
std::optional<std::string> expectedImage(const Call& call) {
  const std::string_view image = call.image;
  const std::size_t size = image.size();
  if (size < 512 || image.substr(size - 512, 4) != "koly") {
    return std::nullopt;
  }
  const std::uint64_t trailerOffset = size - 512;
  std::string trailer(image.substr(trailerOffset));
  const std::uint64_t offset = bigEndian64(trailer, 296);
  const std::uint64_t length = bigEndian64(trailer, 304);
  bool isSigned = false;
  if (offset != 0 || length != 0) {
    isSigned = offset != 0 && offset <= trailerOffset && length == trailerOffset - offset && length >= 12 &&
               image.substr(static_cast<std::size_t>(offset), 4) == "\xfa\xde\x0c\xc0" &&
               bigEndian32(image, static_cast<std::size_t>(offset) + 4) == length;
    if (!isSigned || (call.options & BRACKWELL_RECIPE_UNSIGN) == 0) {
      return std::nullopt; // fields that fit no signature, or a signature to keep
    }
    std::fill(trailer.begin() + 296, trailer.begin() + 312, '\0');
  }
  const std::uint64_t contentEnd = isSigned ? offset : trailerOffset;
  std::uint64_t keep = contentEnd;
  static const std::string_view MAGIC("\xba\x37\x42\xac\x84\x27\xea\x99\x7c\x65\xbb", 11);
  if (contentEnd >= 16 && image[contentEnd - 12] == 'A' && image.substr(contentEnd - 11, 11) == MAGIC) {
    const std::uint64_t old = bigEndian32(image, contentEnd - 16);
    if (old > contentEnd - 16 || (call.options & BRACKWELL_RECIPE_REPLACE) == 0) {
      return std::nullopt; // a damaged descriptor, or a profile not to be replaced
    }
    keep = contentEnd - 16 - old;
  }
  std::array<std::uint8_t, 4> newLength{};
  fileio::writeBigEndian(static_cast<std::uint32_t>(call.profile.size()), newLength.data());
  return std::string(image.substr(0, static_cast<std::size_t>(keep))) + std::string(call.profile) +
         std::string(reinterpret_cast<const char*>(newLength.data()), newLength.size()) + "A" +
         std::string(MAGIC) + trailer;
}

std::string checkEtag(const char* etag) {
  const std::string_view text(etag, strnlen(etag, BRACKWELL_RECIPE_ETAG_LENGTH + 1));
  bool shaped = text.size() == 22 && text.substr(0, 5) == "\"bw1-" && text.back() == '"';
  for (std::size_t i = 5; shaped && i < 21; ++i) {
    shaped = (text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f');
  }
  return shaped ? std::string() : "the validator '" + visible(text) + "' is not \"bw1-\" and 16 hex digits";
}

// The assembled image read back the way brackwell reads it: the profile
// where the recipe put it, no code signature.
std::string checkReadBack(const std::string& path, std::string_view assembled, std::uint64_t keep,
                          std::size_t profileLength) {
  if (const std::string wrote = writeScratch(path, assembled); !wrote.empty()) {
    return wrote;
  }
  const fileio::Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const profile_trailer::Location location = profile_trailer::locate(fd.get());
  if (location.status != profile_trailer::Status::ok || location.profileOffset != keep ||
      location.length != profileLength) {
    return "the reader finds '" + profile_trailer::readerMessage(location) + "', " +
           std::to_string(location.length) + " bytes at " + std::to_string(location.profileOffset) +
           " in the recipe's image; it was given " + std::to_string(profileLength) + " bytes at " +
           std::to_string(keep);
  }
  if (code_signature::read(fd.get(), assembled.size()).present()) {
    return "the recipe's image records a code signature";
  }
  return {};
}

} // namespace

std::string checkRecipe(std::string_view input, const std::string& scratchDir) {
  const Call call = split(input);
  const std::string imagePath = scratchDir + "/image.dmg";
  const std::string profilePath = scratchDir + "/profile.bin";
  for (const auto& [path, bytes] :
       {std::make_pair(imagePath, call.image), std::make_pair(profilePath, call.profile)}) {
    if (const std::string wrote = writeScratch(path, bytes); !wrote.empty()) {
      return wrote;
    }
  }
  const fileio::Fd image(open(imagePath.c_str(), O_RDONLY | O_CLOEXEC));
  const fileio::Fd profile(open(profilePath.c_str(), O_RDONLY | O_CLOEXEC));
  if (!image.valid() || !profile.valid()) {
    return "cannot open the scratch files in " + scratchDir;
  }

  std::vector<char> message(call.messageSize + GUARD_SIZE, static_cast<char>(GUARD));
  brackwell_recipe* recipe = nullptr;
  const brackwell_recipe_status status = brackwell_recipe_make(
      image.get(), profile.get(), call.options, "image.dmg", &recipe, message.data(), call.messageSize);
  // Released on every way out.
  const std::unique_ptr<brackwell_recipe, void (*)(brackwell_recipe*)> owned(recipe, brackwell_recipe_free);

  for (std::size_t i = call.messageSize; i < message.size(); ++i) {
    if (message[i] != static_cast<char>(GUARD)) {
      return "the message was written past its buffer of " + std::to_string(call.messageSize) + " bytes";
    }
  }
  const std::optional<std::string> expected = expectedImage(call);
  if (status != BRACKWELL_RECIPE_OK) {
    if (recipe != nullptr) {
      return "a failed call handed out a recipe";
    }
    if (call.messageSize == 0) {
      // Nothing to check: the guard covers the whole buffer.
    } else if (std::memchr(message.data(), '\0', call.messageSize) == nullptr) {
      return "the message does not end within its buffer of " + std::to_string(call.messageSize) + " bytes";
    } else if (call.messageSize > 1 && message[0] == '\0') {
      return "a failure without a message";
    }
    const std::string said(message.data(),
                           call.messageSize == 0 ? 0 : strnlen(message.data(), call.messageSize));
    if (status != BRACKWELL_RECIPE_REFUSED) {
      return "status " + std::to_string(status) + " for regular files: " + visible(said);
    }
    if (expected) {
      return "refused ('" + visible(said) + "') where the layout gives a new image of " +
             std::to_string(expected->size()) + " bytes";
    }
    return {};
  }

  if (recipe == nullptr) {
    return "a call that worked handed out no recipe";
  }
  if (call.messageSize > 0 && message[0] != static_cast<char>(GUARD)) {
    return "a call that worked wrote a message";
  }
  if (!expected) {
    return "a recipe of " + std::to_string(recipe->size) + " bytes where the layout refuses the image";
  }
  if (recipe->size != recipe->keep + recipe->tail_length) {
    return "size " + std::to_string(recipe->size) + " is not keep " + std::to_string(recipe->keep) +
           " + tail " + std::to_string(recipe->tail_length);
  }
  if (recipe->keep > call.image.size()) {
    return "keep " + std::to_string(recipe->keep) + " is past the image's " +
           std::to_string(call.image.size()) + " bytes";
  }
  if (recipe->tail_length < 512 || std::memcmp(recipe->tail + recipe->tail_length - 512, "koly", 4) != 0) {
    return "the tail does not end in a trailer that starts with \"koly\"";
  }
  if (const std::string etag = checkEtag(recipe->etag); !etag.empty()) {
    return etag;
  }
  const std::string assembled = std::string(call.image.substr(0, static_cast<std::size_t>(recipe->keep))) +
                                std::string(reinterpret_cast<const char*>(recipe->tail), recipe->tail_length);
  if (assembled != *expected) {
    return "the recipe's image (" + std::to_string(assembled.size()) + " bytes, keep " +
           std::to_string(recipe->keep) + ") differs from the layout's (" + std::to_string(expected->size()) +
           " bytes)";
  }
  return checkReadBack(scratchDir + "/stamped.dmg", assembled, recipe->keep, call.profile.size());
}

} // namespace fuzzcheck
