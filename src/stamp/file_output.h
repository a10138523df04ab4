// Writing a new image as a file: assembled next to its destination (the
// image's own name in place, or the output path) as a fileio::AtomicFile,
// read back the way brackwell reads it, and renamed over the destination
// only when the image did not change meanwhile. The image's kept bytes are
// copied the cheapest way the system offers (a clone, an in-kernel copy).
#pragma once

#include <functional>

#include "stamp/image_source.h"
#include "stamp/recipe.h"
#include "stamp/stamp.h"

namespace stamp {

// What a dry run checks of a file output: that the new file could be made
// next to its destination, without making it.
Result<void> checkFileOutput(Source& source, const Options& options);

// Writes the new image that `plan` starts. `recipe` completes it, called
// once the image's kept bytes are copied, so that a profile still arriving
// on a pipe does not hold up the copy of a large image. `profileFd` (-1: none)
// is spared with the image when leftovers of killed runs are removed.
Result<Outcome> writeFile(Source& source, const Plan& plan, int profileFd,
                          const std::function<Result<Recipe>()>& recipe, const Options& options);

} // namespace stamp
