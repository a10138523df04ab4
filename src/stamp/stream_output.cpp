#include "stamp/stream_output.h"

#include <algorithm>
#include <sys/stat.h>

#include "fileio/copy.h"
#include "fileio/io.h"
#include "stamp/refuse.h"

namespace stamp {

namespace {

// How the output is named in messages about writing it.
const char* const NEW_STREAM = "the new image to the output";

} // namespace

Result<void> checkStream(const Source& source, int outFd) {
  struct stat out {};
  if (fstat(outFd, &out) == 0 && fileio::sameFile(out, source.before)) {
    return refuse(Failure::output_is_image, "the output (standard output) is the image itself");
  }
  return {};
}

Result<Outcome> writeStream(const Source& source, const Recipe& recipe, const Options& options,
                            Outcome outcome) {
  if (auto checked = checkStream(source, options.outFd); !checked) {
    return tl::make_unexpected(checked.error());
  }
  // Bytes [first, end) of the new image: those of the image's part that fall
  // in the range are read from the image, and only those.
  const auto [first, last] =
      outcome.written ? *outcome.written : std::make_pair<std::uint64_t, std::uint64_t>(0, recipe.size - 1);
  const std::uint64_t end = last + 1;
  const std::uint64_t keep = recipe.keep();
  if (first < keep) {
    auto copied = fileio::copyToStream(source.fd.get(), first, std::min(end, keep) - first, options.outFd,
                                       options.copy, {"the image", NEW_STREAM});
    if (!copied) {
      return refuse(Failure::write_failed, copied.error());
    }
    outcome.copy = *copied;
  }
  if (end > keep) {
    const std::uint64_t from = std::max(first, keep) - keep;
    if (auto wrote = fileio::writeAll(options.outFd, recipe.tail.data() + from,
                                      static_cast<std::size_t>(end - keep - from));
        !wrote) {
      return refuse(Failure::write_failed, wrote.error().within(std::string("cannot write ") + NEW_STREAM));
    }
  }
  if (auto unchanged = checkUnchanged(source, "; the output is not to be used"); !unchanged) {
    return tl::make_unexpected(unchanged.error());
  }
  return outcome;
}

} // namespace stamp
