// The code signature that codesign puts into a UDIF disk image, as far as
// stamping needs to know it.
//
// A signed image ends like this:
//
//   ... image data ... | signature (superblob) | koly trailer (512) |
//                      ^ offset                ^ offset + length
//
// The trailer records the signature's offset and length (unsigned 64-bit,
// big-endian, at trailer bytes 296 and 304). The signature is one embedded-
// signature superblob (magic fa de 0c c0, then its own length, big-endian
// 32-bit) that starts at that offset and ends exactly where the trailer
// begins. Signing changes nothing else: the image in front of the offset,
// followed by the trailer with those 16 bytes zeroed, is the image exactly as
// it was before it was signed. Verification hashes the bytes in front of the
// signature and the trailer, so a byte inserted between signature and
// trailer, or anywhere in front of the signature, breaks it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "fileio/result.h"
#include "profile/profile_trailer.h"

namespace code_signature {

constexpr std::uint64_t SIGNATURE_OFFSET_FIELD = 296;
constexpr std::uint64_t SIGNATURE_LENGTH_FIELD = 304;
constexpr std::uint64_t SIGNATURE_FIELDS_SIZE = 16;
constexpr std::array<std::uint8_t, 4> SUPERBLOB_MAGIC = {0xfa, 0xde, 0x0c, 0xc0};
constexpr std::uint64_t SUPERBLOB_HEADER_SIZE = 12; // magic, length, blob count

// What the signature fields describe.
enum class Layout {
  none,  // both fields are zero: the image is not signed
  valid, // one superblob of the recorded length that ends where the trailer begins
  length_without_offset,
  offset_past_trailer,
  not_ending_at_trailer, // offset + length is not the trailer's offset
  too_short,             // shorter than a superblob's header
  no_superblob,          // no superblob magic at the offset
  length_mismatch,       // the superblob's own length is not the recorded one
  unreadable             // the bytes at the offset could not be read
};

struct Signature {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  Layout layout = Layout::none;
  std::optional<fileio::Error> readError; // why the fields or the blob could not be read (unreadable)
  bool present() const { return layout != Layout::none; }
  bool valid() const { return layout == Layout::valid; }
};

// Reads the signature fields of the trailer at the end of the open image `fd`
// (`fileSize` bytes, ending in a trailer) and checks the blob they point at.
Signature read(int fd, std::uint64_t fileSize);

// The same with the trailer (TRAILER_SIZE bytes) already read by the caller:
// only the blob the fields point at is read from `fd`.
Signature read(int fd, std::uint64_t fileSize, const std::uint8_t* trailer);

// What the fields describe, in words: why they do not describe a signature
// that fits the image, e.g. "the offset lies past the trailer" (for a
// layout other than none and valid).
std::string explain(const Signature& signature);

// The trailer `trailer` (TRAILER_SIZE bytes) with the signature fields zeroed,
// as it was before the image was signed.
void clearFields(std::uint8_t* trailer);

} // namespace code_signature
