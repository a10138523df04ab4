#include "profile/code_signature.h"

#include <algorithm>
#include <cerrno>

#include "fileio/byte_order.h"
#include "fileio/io.h"

namespace profile_trailer {

CodeSignature readCodeSignature(int fd, std::uint64_t fileSize) {
  CodeSignature signature;
  if (fileSize < TRAILER_SIZE) {
    signature.layout = SignatureLayout::unreadable;
    return signature;
  }
  const std::uint64_t trailerOffset = fileSize - TRAILER_SIZE;
  std::array<std::uint8_t, SIGNATURE_FIELDS_SIZE> fields{};
  if (fileio::readAt(fd, trailerOffset + SIGNATURE_OFFSET_FIELD, fields.data(), fields.size()) !=
      fields.size()) {
    signature.error = errno;
    signature.layout = SignatureLayout::unreadable;
    return signature;
  }
  signature.offset = fileio::readBigEndian<std::uint64_t>(fields.data());
  signature.length = fileio::readBigEndian<std::uint64_t>(fields.data() + 8);

  // Every comparison stays clear of overflow: the fields may hold anything
  // up to 2^64 - 1.
  if (signature.offset == 0 && signature.length == 0) {
    signature.layout = SignatureLayout::none;
  } else if (signature.offset == 0) {
    signature.layout = SignatureLayout::length_without_offset;
  } else if (signature.offset > trailerOffset) {
    signature.layout = SignatureLayout::offset_past_trailer;
  } else if (signature.length != trailerOffset - signature.offset) {
    signature.layout = SignatureLayout::not_ending_at_trailer;
  } else if (signature.length < SUPERBLOB_HEADER_SIZE) {
    signature.layout = SignatureLayout::too_short;
  } else {
    std::array<std::uint8_t, SUPERBLOB_HEADER_SIZE> header{};
    if (fileio::readAt(fd, signature.offset, header.data(), header.size()) != header.size()) {
      signature.error = errno;
      signature.layout = SignatureLayout::unreadable;
    } else if (!std::equal(SUPERBLOB_MAGIC.begin(), SUPERBLOB_MAGIC.end(), header.begin())) {
      signature.layout = SignatureLayout::no_superblob;
    } else if (fileio::readBigEndian<std::uint32_t>(header.data() + 4) != signature.length) {
      signature.layout = SignatureLayout::length_mismatch;
    } else {
      signature.layout = SignatureLayout::valid;
    }
  }
  return signature;
}

std::string describe(const CodeSignature& signature) {
  switch (signature.layout) {
  case SignatureLayout::none:
    return "no code signature";
  case SignatureLayout::valid:
    return "one signature blob that ends where the trailer begins";
  case SignatureLayout::length_without_offset:
    return "the offset is 0 while the length is not";
  case SignatureLayout::offset_past_trailer:
    return "the offset lies past the trailer";
  case SignatureLayout::not_ending_at_trailer:
    return "offset + length is not where the trailer begins";
  case SignatureLayout::too_short:
    return "the length is too short for a signature blob";
  case SignatureLayout::no_superblob:
    return "there is no signature blob (magic fa de 0c c0) at the offset";
  case SignatureLayout::length_mismatch:
    return "the signature blob at the offset is not of the recorded length";
  case SignatureLayout::unreadable:
    return "the signature could not be read: " + fileio::errorText(signature.error);
  }
  return "unknown";
}

void clearSignatureFields(std::uint8_t* trailer) {
  std::fill(trailer + SIGNATURE_OFFSET_FIELD, trailer + SIGNATURE_OFFSET_FIELD + SIGNATURE_FIELDS_SIZE, 0);
}

} // namespace profile_trailer
