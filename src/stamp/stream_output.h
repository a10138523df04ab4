// Writing a new image to a stream (standard output, a pipe, a socket): the
// recipe's bytes, whole or a range, the image's part straight from the image
// file (fileio::copyToStream) and the tail from memory. Nothing is created on
// disk.
#pragma once

#include "stamp/image_source.h"
#include "stamp/recipe.h"
#include "stamp/stamp.h"

namespace stamp {

// Refuses an output stream that is the image itself: reading and writing one
// file at once would corrupt it.
Result<void> checkStream(const Source& source, int outFd);

// Writes `recipe`'s new image to `options.outFd`: the bytes
// `outcome.written` names, or all of them. A failure part-way leaves the
// reader with an incomplete image and the run with a failure; so does an
// image that changed while it was read.
Result<Outcome> writeStream(const Source& source, const Recipe& recipe, const Options& options,
                            Outcome outcome);

} // namespace stamp
