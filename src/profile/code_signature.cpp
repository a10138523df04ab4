#include "profile/code_signature.h"

#include <algorithm>

#include "fileio/byte_order.h"
#include "fileio/io.h"

namespace code_signature {

using profile_trailer::TRAILER_SIZE;

namespace {

// Checks what the signature fields `fields` (SIGNATURE_FIELDS_SIZE bytes) of
// the trailer of `fd` (`fileSize` bytes) describe, reading the blob they
// point at.
Signature check(int fd, std::uint64_t fileSize, const std::uint8_t* fields) {
  Signature signature;
  const std::uint64_t trailerOffset = fileSize - TRAILER_SIZE;
  signature.offset = fileio::readBigEndian<std::uint64_t>(fields);
  signature.length = fileio::readBigEndian<std::uint64_t>(fields + 8);

  // Every comparison stays clear of overflow: the fields may hold anything
  // up to 2^64 - 1.
  if (signature.offset == 0 && signature.length == 0) {
    signature.layout = Layout::none;
  } else if (signature.offset == 0) {
    signature.layout = Layout::length_without_offset;
  } else if (signature.offset > trailerOffset) {
    signature.layout = Layout::offset_past_trailer;
  } else if (signature.length != trailerOffset - signature.offset) {
    signature.layout = Layout::not_ending_at_trailer;
  } else if (signature.length < SUPERBLOB_HEADER_SIZE) {
    signature.layout = Layout::too_short;
  } else {
    std::array<std::uint8_t, SUPERBLOB_HEADER_SIZE> header{};
    if (auto read = fileio::readAt(fd, signature.offset, header.data(), header.size()); !read) {
      signature.readError = read.error();
      signature.layout = Layout::unreadable;
    } else if (!std::equal(SUPERBLOB_MAGIC.begin(), SUPERBLOB_MAGIC.end(), header.begin())) {
      signature.layout = Layout::no_superblob;
    } else if (fileio::readBigEndian<std::uint32_t>(header.data() + 4) != signature.length) {
      signature.layout = Layout::length_mismatch;
    } else {
      signature.layout = Layout::valid;
    }
  }
  return signature;
}

} // namespace

Signature read(int fd, std::uint64_t fileSize) {
  if (fileSize < TRAILER_SIZE) {
    Signature signature;
    signature.layout = Layout::unreadable;
    return signature;
  }
  std::array<std::uint8_t, SIGNATURE_FIELDS_SIZE> fields{};
  if (auto read =
          fileio::readAt(fd, fileSize - TRAILER_SIZE + SIGNATURE_OFFSET_FIELD, fields.data(), fields.size());
      !read) {
    Signature signature;
    signature.readError = read.error();
    signature.layout = Layout::unreadable;
    return signature;
  }
  return check(fd, fileSize, fields.data());
}

Signature read(int fd, std::uint64_t fileSize, const std::uint8_t* trailer) {
  if (fileSize < TRAILER_SIZE) {
    Signature signature;
    signature.layout = Layout::unreadable;
    return signature;
  }
  return check(fd, fileSize, trailer + SIGNATURE_OFFSET_FIELD);
}

std::string explain(const Signature& signature) {
  switch (signature.layout) {
  case Layout::none:
    return "no code signature";
  case Layout::valid:
    return "one signature blob that ends where the trailer begins";
  case Layout::length_without_offset:
    return "the offset is 0 while the length is not";
  case Layout::offset_past_trailer:
    return "the offset lies past the trailer";
  case Layout::not_ending_at_trailer:
    return "offset + length is not where the trailer begins";
  case Layout::too_short:
    return "the length is too short for a signature blob";
  case Layout::no_superblob:
    return "there is no signature blob (magic fa de 0c c0) at the offset";
  case Layout::length_mismatch:
    return "the signature blob at the offset is not of the recorded length";
  case Layout::unreadable:
    return "the signature could not be read" +
           (signature.readError ? ": " + signature.readError->message : std::string());
  }
  return "unknown";
}

void clearFields(std::uint8_t* trailer) {
  std::fill(trailer + SIGNATURE_OFFSET_FIELD, trailer + SIGNATURE_OFFSET_FIELD + SIGNATURE_FIELDS_SIZE, 0);
}

} // namespace code_signature
