// The recipe of a new image: what every output of brackwell-stamp is made
// of. A new image is the image's own bytes [0, keep) followed by a tail:
// for a write, the profile and its 16-byte descriptor; then the image's
// 512-byte trailer, with its code-signature fields cleared when the
// signature is taken off. A file written next to its destination, a stream
// (whole or a range), a dry run and the C interface (recipe_c.h) all follow
// the same recipe, so they cannot disagree about a byte, the size or the
// validator.
//
// A recipe is worked out in two steps. plan() reads only the end of the
// image: it decides what is refused and how much of the image is kept.
// complete() adds the profile: the tail, the size and the validator. A file
// output stamped with a profile on a pipe starts copying the image between
// the two, so that a large image is not held up by a profile that is still
// arriving.
//
// The tail is held in memory. A profile is a licence of a few kilobytes,
// and the validator needs all of its bytes before anything is sent anyway;
// a profile too large for memory is refused with Failure::out_of_memory and
// a message that says so, never with an abort.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "profile/profile_trailer.h"
#include "stamp/stamp.h"

namespace stamp {

enum class Operation { write, remove, unsign };

// The image as a recipe reads it: an open regular file, read with pread
// only (its offset never moves), in the version `version` describes (its
// size and modification time go into the validator). `name` names it in
// messages.
struct ImageFile {
  int fd = -1;
  struct stat version {};
  std::string name;
};

// The image's last bytes: the trailer and the descriptor in front of it.
constexpr std::uint64_t END_SIZE = profile_trailer::TRAILER_SIZE + profile_trailer::DESCRIPTOR_SIZE;

// What the image alone decides about the new image.
struct Plan {
  Operation operation = Operation::write;
  std::uint64_t keep = 0;                                            // the image's bytes kept as they are
  std::array<std::uint8_t, profile_trailer::TRAILER_SIZE> trailer{}; // the trailer the new image ends with
  std::uint64_t signatureOffset = 0; // where a valid code signature starts (0: none)
  bool replaces = false;             // a write swaps out the profile there
  std::uint64_t replacedLength = 0;  // its length
  bool unsigns = false;              // a code signature is taken off
  std::uint64_t signatureLength = 0; // its length
  std::uint64_t removedOffset = 0;   // a removal: where the profile taken out starts
  std::uint64_t removedLength = 0;   // and its length
  // The image's last min(size, END_SIZE) bytes as plan() read them, once:
  // the trailer comes from them, and the validator covers them.
  std::array<std::uint8_t, END_SIZE> end{};
  std::uint64_t endSize = 0;
};

// Reads what the image says about itself (trailer, descriptor, signature)
// from the end of the image as `image.version` describes it (its size), and
// decides what the new image keeps of it, or why there is none: no
// trailer, signature fields that fit no signature, a signature that is not
// to be taken off, a profile already there, a damaged descriptor...
Result<Plan> plan(const ImageFile& image, Operation operation, bool replace, bool unsign);

struct Recipe {
  Plan plan;                       // its keep: the image's bytes [0, keep) come first
  std::vector<std::uint8_t> tail;  // then these bytes
  std::uint64_t profileLength = 0; // a write: the new profile's length (it starts at `keep`)
  std::uint64_t size = 0;          // keep + tail.size()
  std::string etag;                // the validator (ETAG_PREFIX in stamp.h)
  std::uint64_t keep() const { return plan.keep; }
};

// How the profile is read: from the descriptor's offset on, as a pipe or
// standard input gives it (the command line); or the whole regular file,
// with pread (the C interface, which must leave offsets alone).
enum class ProfileRead { onward, whole_file };

// Refuses a profile that is a regular file longer than its descriptor's
// 32-bit length field can describe, before anything is read or copied.
Result<void> checkProfileLength(int profileFd);

// Reads the profile to its end, refusing one longer than its 32-bit length
// field can describe (after at most that many bytes) or too large for
// memory.
Result<std::vector<std::uint8_t>> loadProfile(int profileFd, ProfileRead how);

// The recipe that `plan` and `profile` (a write's; ignored otherwise) make:
// the tail, the size and the validator. `profile` becomes part of the tail.
Result<Recipe> complete(const ImageFile& image, const Plan& plan, std::vector<std::uint8_t> profile);

// complete() with a write's profile read from `profileFd` (to its end, as
// `how` says).
Result<Recipe> complete(const ImageFile& image, const Plan& plan, int profileFd, ProfileRead how);

// plan(), then the profile (a write's) checked and read, then complete().
Result<Recipe> makeRecipe(const ImageFile& image, Operation operation, bool replace, bool unsign,
                          int profileFd, ProfileRead how);

// What a run that follows `recipe` reports: everything but how the bytes
// were copied and which were written.
Outcome outcomeOf(const Recipe& recipe);

} // namespace stamp
