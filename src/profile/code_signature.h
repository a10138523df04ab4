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
#include <string>

#include "profile/profile_trailer.h"

namespace profile_trailer {

constexpr std::uint64_t SIGNATURE_OFFSET_FIELD = 296;
constexpr std::uint64_t SIGNATURE_LENGTH_FIELD = 304;
constexpr std::uint64_t SIGNATURE_FIELDS_SIZE = 16;
constexpr std::array<std::uint8_t, 4> SUPERBLOB_MAGIC = {0xfa, 0xde, 0x0c, 0xc0};
constexpr std::uint64_t SUPERBLOB_HEADER_SIZE = 12; // magic, length, blob count

// What the signature fields describe.
enum class SignatureLayout {
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

struct CodeSignature {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  SignatureLayout layout = SignatureLayout::none;
  int error = 0; // errno when the fields or the blob could not be read (unreadable)
  bool present() const { return layout != SignatureLayout::none; }
  bool valid() const { return layout == SignatureLayout::valid; }
};

// Reads the signature fields of the trailer at the end of the open image `fd`
// (`fileSize` bytes, ending in a trailer) and checks the blob they point at.
CodeSignature readCodeSignature(int fd, std::uint64_t fileSize);

// Why the fields do not describe a signature that fits the image (for a
// layout other than none and valid), e.g. "the offset lies past the trailer".
std::string describe(const CodeSignature& signature);

// The trailer `trailer` (TRAILER_SIZE bytes) with the signature fields zeroed,
// as it was before the image was signed.
void clearSignatureFields(std::uint8_t* trailer);

} // namespace profile_trailer
