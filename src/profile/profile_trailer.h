// Reading the profile that an installer's disk image carries in front of its
// UDIF trailer.
//
// The end of a disk image file that carries a profile looks like this
// (L is the profile length):
//
//   ... image data ... | profile (L bytes) | descriptor (16) | koly trailer (512) |
//                                          |  L  |T|  magic  |
//                                           4 BE  1    11
//
// The trailer is the image's own UDIF trailer, which starts with "koly". The
// descriptor ends exactly where the trailer begins; nothing in it points
// anywhere else, so the profile's position follows from L alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fileio/fd.h"
#include "fileio/result.h"

namespace profile_trailer {

constexpr std::uint64_t TRAILER_SIZE = 512;
constexpr std::uint64_t DESCRIPTOR_SIZE = 16;
constexpr std::array<std::uint8_t, 4> TRAILER_SIGNATURE = {'k', 'o', 'l', 'y'};
constexpr std::uint8_t PROFILE_TYPE = 'A';
constexpr std::array<std::uint8_t, 11> MAGIC = {0xba, 0x37, 0x42, 0xac, 0x84, 0x27,
                                                0xea, 0x99, 0x7c, 0x65, 0xbb};

using Descriptor = std::array<std::uint8_t, DESCRIPTOR_SIZE>;

// The 16 descriptor bytes for a profile of `length` bytes.
Descriptor encodeDescriptor(std::uint32_t length);

// What the end of an image file says about its profile. The checks run in a
// fixed order (signature, type, magic, length) and the first failing one
// decides the status; later fields are not read.
enum class Status {
  ok,
  no_trailer,      // no "koly" at 512 bytes before the end, or unreadable
  wrong_type,      // the type byte is not 'A' (or there is no room for it)
  magic_mismatch,  // the 11 magic bytes differ
  length_too_large // the length reaches past the start of the file
};

struct Location {
  Status status = Status::no_trailer;
  std::uint64_t fileSize = 0;             // size of the image file in bytes
  std::uint64_t profileOffset = 0;        // where the profile starts (valid when ok)
  std::uint32_t length = 0;               // the declared profile length (from the type check on)
  std::optional<fileio::Error> readError; // why the end of the file could not be read (no_trailer)
};

// Examines the trailer and descriptor of the open file `fd` without moving its
// file offset. Reads 4 + 16 bytes near the end of the file (adjacent, so in one
// read when it can), nothing else.
Location locate(int fd);

// What locate() finds in a file of `fileSize` bytes whose last
// min(fileSize, TRAILER_SIZE + DESCRIPTOR_SIZE) bytes are `end`, read by the
// caller (nothing when fileSize is below TRAILER_SIZE): for a caller that
// needs the whole trailer anyway and reads the end of the file once.
Location locateInEnd(const std::uint8_t* end, std::uint64_t fileSize);

// What the reader would find if the trailer, which `fd` has, began at
// `trailerOffset` instead: the descriptor ending there and the profile in
// front of it. The result describes that image, `trailerOffset` +
// TRAILER_SIZE bytes long. This is how a signed image looks once its code
// signature, which sits between the descriptor and the trailer, is removed.
Location locateInFrontOf(int fd, std::uint64_t trailerOffset);

// The text of a failed status, as the reader prints it.
std::string readerMessage(const Location& location);

// An image file opened, and what its end says about its profile.
struct Found {
  fileio::Fd file;
  Location location; // status ok: the profile is where it says
};

// The reader's first steps, the same for brackwell and for brackwell-stamp's
// extract: prints "Extracting profile from DMG at '<path>'" on `log`, opens
// the file and checks its trailer and descriptor. When there is no profile
// to read it prints why (the status is then not ok).
Found openProfile(const std::string& path, std::ostream& log);

} // namespace profile_trailer

// Success flag and the profile bytes (empty on failure).
using ProfileReadResult = std::pair<bool, std::vector<std::uint8_t>>;

// Reads the profile out of the disk image file at `path`, reporting on `log`
// (one line per message, flushed).
ProfileReadResult readProfileFrom(const std::string& path, std::ostream& log);

// The same, reporting on standard output.
ProfileReadResult readProfileFrom(const std::string& path);
