// Opening the image a run reads: as any reader would, or, when the new image
// replaces it, under the shared-directory rules and with an exclusive lock,
// so that two runs on one image take turns. What the run then reads is
// checked against the version recorded here before anything is renamed or
// the output is called complete.
#pragma once

#include <optional>
#include <string>
#include <sys/stat.h>

#include "fileio/fd.h"
#include "fileio/place.h"
#include "stamp/recipe.h"
#include "stamp/stamp.h"

namespace stamp {

// The image as it is read: the descriptor stays open until the new image is
// in place, and `before` is what the change checks compare with.
struct Source {
  std::string path;
  fileio::Fd fd;
  struct stat before {};
  // In place: where the image's name is (the target's, when the image was
  // reached through a link), which the new image replaces.
  std::optional<fileio::Place> place;

  // The image as the recipe reads it.
  ImageFile file() const { return {fd.get(), before, path}; }
};

// Whether the new image replaces the image itself.
inline bool inPlace(const Options& options) {
  return options.outFd < 0 && options.out.empty();
}

// Tells the user `text` while the run goes on (Options::notice).
inline void tell(const Options& options, const std::string& text) {
  if (options.notice) {
    options.notice(text);
  }
}

// Opens the image at `path` for a run with `options` and records its
// version; in place, also locks it (except for a dry run).
Result<Source> openImage(const std::string& path, const Options& options);

// Whether the image is still the version that was read; `afterwards` ends
// the message.
Result<void> checkUnchanged(const Source& source, const char* afterwards = "");

} // namespace stamp
