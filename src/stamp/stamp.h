// Putting a profile into a disk image, taking it out again, and taking an
// image's code signature off: what to refuse and what to assemble.
//
// The layout is the one profile_trailer.h reads: the profile and its 16-byte
// descriptor go right in front of the image's 512-byte "koly" trailer.
// Everything in front of that insertion point, and the trailer itself, are
// kept byte for byte, so removing the profile gives back the image exactly as
// it was before it was stamped.
//
// A signed image (code_signature.h) is never changed behind its signature's
// back: any change breaks the signature, and macOS reports a disk image whose
// signature does not verify as damaged. So a signed image is only changed
// when asked to be unsigned as well, and then the work is done on the image
// as it was before signing (the bytes in front of the signature, followed by
// the trailer with its signature fields zeroed). Signature fields that do not
// describe a signature that fits the image are refused outright: nothing can
// tell which bytes to cut away. Every image this module writes is unsigned.
//
// The image itself is never written to. Every new image follows one recipe
// (recipe.h): the image's bytes up to an insertion point, then a tail made
// in memory. It is assembled next to its destination (file_output.h,
// fileio::AtomicFile), checked with the reader's own `locate`, and renamed
// over the destination; or it is written to a stream (stream_output.h,
// standard output), for which nothing is created on disk.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <tl/expected.hpp>
#include <utility>

#include "fileio/copy.h"
#include "profile/code_signature.h"
#include "profile/profile_trailer.h"

namespace stamp {

using fileio::CopyLimit;
using fileio::CopyMethod;

// The descriptor stores the length in 32 bits.
constexpr std::uint64_t MAX_PROFILE_LENGTH = 0xffffffffu;

// Temporary files are `.<name>.stamp-XXXXXX` next to their destination.
constexpr const char* TEMPORARY_TAG = "stamp";

struct Inspection {
  profile_trailer::Location location;  // what brackwell's reader finds
  code_signature::Signature signature; // read only when the trailer is there
  // With a valid signature: what the reader would find once it is removed
  // (a profile stamped before the image was signed lies there).
  std::optional<profile_trailer::Location> beforeSignature;
};

// The reader's view of the open image `fd`, its code signature, and what
// lies in front of that signature. Does not move the file offset.
Inspection inspect(int fd);

// The same for an image of `fileSize` bytes whose end the caller has read:
// `end` holds its last min(fileSize, TRAILER_SIZE + DESCRIPTOR_SIZE) bytes.
// Only a code signature's blob, and what lies in front of it, are read.
Inspection inspect(int fd, std::uint64_t fileSize, const std::uint8_t* end);

// What kind of failure ended a run; the exit status follows from it.
enum class Failure {
  image_unreadable,    // the image cannot be opened or examined
  not_a_regular_file,  // the image is a device, a directory, a FIFO...
  no_trailer,          // the image does not end in a "koly" trailer
  bad_signature,       // signature fields that do not describe a signature that fits the image
  signed_image,        // the image is signed and unsigning was not asked for
  not_signed,          // nothing to unsign
  profile_present,     // a valid profile is there and replacing was not asked for
  damaged_descriptor,  // type and magic are there, but the length is impossible
  profile_unreadable,  // reading the profile failed
  out_of_memory,       // the profile did not fit in memory
  profile_too_long,    // more bytes than the 32-bit length can describe
  no_profile,          // nothing to remove
  output_is_image,     // the output names the image itself
  output_unusable,     // the output path exists but is no regular file, or names a directory
  path_refused,        // a name another account may have planted in a shared directory (fileio/place.h)
  image_locked,        // another process held the image's lock for longer than the run would wait
  write_failed,        // making the output failed: copying, writing, flushing or renaming
  image_changed,       // the image changed while it was being read
  range_unsatisfiable, // the range starts at or past the end of the new image
  etag_mismatch        // the new image's validator is not the one the caller expects
};

// A part of the new image, in the forms of an HTTP Range header's byte range
// (RFC 9110, section 14.1.2: FIRST-LAST, FIRST- or -SUFFIX).
struct ByteRange {
  enum class Kind {
    from_to, // bytes first..last (last clipped to the end)
    from,    // bytes first..end
    suffix   // the last `last` bytes
  };
  Kind kind = Kind::from;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::string text; // as the caller wrote it, for messages (empty: made from the numbers)
};

// The bytes [first, last] that `range` selects of an image of `size` bytes,
// or nothing when it selects none (it starts at or past the end, or is an
// empty suffix).
std::optional<std::pair<std::uint64_t, std::uint64_t>> resolve(const ByteRange& range, std::uint64_t size);

struct Options {
  std::string out;      // the new image's path; empty: the image itself (unless outFd)
  int outFd = -1;       // >= 0: the new image is written to this stream instead of a file
  bool replace = false; // swap an existing profile for the new one
  bool unsign = false;  // take a code signature off first
  CopyLimit copy = CopyLimit::cheapest;
  // In place, how long to wait for another process that holds the image's
  // lock before giving up.
  unsigned waitSeconds = 60;
  // Every check of the real run, and the new image's size and validator;
  // nothing is written or created.
  bool dryRun = false;
  // Only these bytes of the new image (a stream output only).
  std::optional<ByteRange> range;
  // Refuse before writing anything unless the new image's validator is this.
  std::optional<std::string> ifEtag;
  // Told what the user should know while the run goes on: that it waits for
  // another run on the same image, that it removed a leftover file.
  std::function<void(const std::string&)> notice;
};

// What a run did (in a dry run: would do).
struct Outcome {
  CopyMethod copy = CopyMethod::none;
  std::uint64_t copiedBytes = 0;     // image bytes in front of the insertion point
  std::uint64_t imageSize = 0;       // size of the new image
  std::uint64_t profileOffset = 0;   // where the (new or removed) profile starts
  std::uint64_t profileLength = 0;   // its length (also the length extracted)
  bool replaced = false;             // an old profile was swapped out
  std::uint64_t replacedLength = 0;  // the old profile's length
  bool unsignedImage = false;        // a code signature was taken off
  std::uint64_t signatureLength = 0; // its length
  std::string etag;                  // the new image's validator (see ETAG_PREFIX)
  std::optional<std::pair<std::uint64_t, std::uint64_t>> written; // the range written, [first, last]
};

// Why a run failed: its kind and a message that says it in the user's terms.
struct Error {
  Failure failure = Failure::write_failed;
  std::string message; // empty only where extract's reader has already said why on its log
  // The new image's size and validator, when the run had worked them out
  // before it failed (a range or a validator refused): a server answers
  // from them.
  std::uint64_t imageSize = 0;
  std::string etag;
};

template <typename T> using Result = tl::expected<T, Error>;

// The validator of a new image, a strong HTTP entity tag: "bw1-" and 16 hex
// digits, in double quotes. It is worked out for every new image (a server
// sends it before the image's bytes), from what decides the new image's
// bytes without reading the image whole:
// the image's size and modification time (to the nanosecond), its last 528
// bytes (the trailer, whose UDIF checksums cover the image's data, and the
// descriptor in front of it), the 16 bytes in front of a code signature, how
// much of the image is kept, the trailer that is written, and the profile's
// bytes. No path, inode or owner counts, so a copy made with `cp -p` or
// `rsync -t` has the same validator. A rewrite of the image that keeps its
// size, its trailer and its modification time to the nanosecond is not
// seen; nor is one within the same tick on a file system with coarse
// timestamps, unless it changes the trailer.
constexpr const char* ETAG_PREFIX = "bw1-";

// Stamps the bytes read from `profileFd` (to its end) into `image`: in front
// of the trailer, or in place of the profile already there when
// `options.replace` is set.
Result<Outcome> stampProfile(const std::string& image, int profileFd, const Options& options);

// Takes the profile and its descriptor out of `image` (`options.replace` is
// ignored).
Result<Outcome> removeProfile(const std::string& image, const Options& options);

// Takes the code signature off `image`: the result is the image exactly as it
// was before it was signed (`options.replace` and `options.unsign` are
// ignored).
Result<Outcome> removeSignature(const std::string& image, const Options& options);

// Writes the profile that brackwell would read from `image` (the same reader,
// whose lines go to `log`) to the stream `options.outFd`, or to the file
// `options.out`. The file is opened as brackwell opens its output, under the
// shared-directory rules, but never waits for a FIFO's reader. The profile
// is streamed, so a profile of gigabytes costs no memory. When the reader
// finds no profile it has said why on `log`: the failure (no_profile, or
// no_trailer, damaged_descriptor, image_unreadable for a broken image) then
// has no message of its own.
Result<Outcome> extractProfile(const std::string& image, const Options& options, std::ostream& log);

// Removes the temporary file of an operation under way, if there is one.
// Async-signal-safe: meant for the handlers of signals that end the process.
void discardPendingOutput();

} // namespace stamp
