// Putting a profile into a disk image, and taking it out again.
//
// The layout is the one profile_trailer.h reads: the profile and its 16-byte
// descriptor go right in front of the image's 512-byte "koly" trailer.
// Everything in front of that insertion point, and the trailer itself, are
// kept byte for byte, so removing the profile gives back the image exactly as
// it was before it was stamped.
//
// The image is never written to. A new file is assembled next to the
// destination under a temporary name: the bytes in front of the insertion
// point are cloned or copied (the cheapest way the file system offers), then
// the profile, its descriptor and the trailer are appended. The file is
// flushed, checked with the reader's own `locate`, given its permissions and
// only then renamed over the destination. Any failure before the rename
// removes the temporary file and leaves the destination as it was.
#pragma once

#include <cstdint>
#include <string>

#include "profile/profile_trailer.h"

namespace profile_stamp {

// Where the UDIF trailer records the image's code signature: offset and
// length, both unsigned 64-bit big-endian, counted from the trailer's start.
constexpr std::uint64_t SIGNATURE_OFFSET_FIELD = 296;
constexpr std::uint64_t SIGNATURE_LENGTH_FIELD = 304;

// The descriptor stores the length in 32 bits.
constexpr std::uint64_t MAX_PROFILE_LENGTH = 0xffffffffu;

struct CodeSignature {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool present() const { return offset != 0 || length != 0; }
};

struct Inspection {
  profile_trailer::Location location; // what the reader would find
  CodeSignature signature;            // read only when the trailer is there
};

// The reader's view of the open image `fd`, plus its code-signature fields.
// Does not move the file offset.
Inspection inspect(int fd);

// How the bytes in front of the insertion point reached the new file.
enum class CopyMethod {
  none,            // nothing was copied (the operation failed first)
  clone,           // copy-on-write clone of the whole image, cut back to the insertion point
  copy_file_range, // in-kernel copy
  stream           // read and written through a buffer
};

std::string describe(CopyMethod method);

// The cheapest copy a run may try; each step falls back to the next when the
// system or the file system does not offer it.
enum class CopyLimit {
  cheapest, // clone, then copy_file_range, then streamed
  no_clone, // copy_file_range, then streamed
  stream    // streamed only
};

enum class Failure {
  none,
  image_unreadable,   // the image cannot be opened or examined
  not_a_regular_file, // the image is a device, a directory, a FIFO...
  no_trailer,         // the image does not end in a "koly" trailer
  profile_present,    // a valid profile is there and replacing was not asked for
  damaged_descriptor, // type and magic are there, but the length is impossible
  code_signature,     // the image is signed and forcing was not asked for
  profile_unreadable, // reading the profile failed
  profile_too_long,   // more bytes than the 32-bit length can describe
  no_profile,         // nothing to remove
  output_is_image,    // the output path names the image itself
  output_unusable,    // the output path exists but is no regular file, or names a directory
  write_failed,       // creating, writing, flushing or renaming the new file failed
  image_changed       // the image changed while it was being copied
};

struct Options {
  std::string out;      // empty: replace the image itself
  bool replace = false; // swap an existing profile for the new one
  bool force = false;   // stamp a signed image anyway
  CopyLimit copy = CopyLimit::cheapest;
};

struct Outcome {
  Failure failure = Failure::none;
  std::string message; // why it failed (empty on success)
  CopyMethod copy = CopyMethod::none;
  std::uint64_t copiedBytes = 0;    // bytes in front of the insertion point
  std::uint64_t profileOffset = 0;  // where the (new or removed) profile starts
  std::uint64_t profileLength = 0;  // its length
  bool replaced = false;            // an old profile was swapped out
  std::uint64_t replacedLength = 0; // the old profile's length
  bool ok() const { return failure == Failure::none; }
};

// Stamps the bytes read from `profileFd` (to its end) into `image`: in front
// of the trailer, or in place of the profile already there when
// `options.replace` is set.
Outcome stampProfile(const std::string& image, int profileFd, const Options& options);

// Takes the profile and its descriptor out of `image` (`options.replace` and
// `options.force` are ignored).
Outcome removeProfile(const std::string& image, const Options& options);

// Removes the temporary file of an operation under way, if there is one.
// Async-signal-safe: meant for the handlers of signals that end the process.
void discardPendingOutput();

} // namespace profile_stamp
