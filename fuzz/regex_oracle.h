// The matchers' reference: std::regex on the very patterns they stand in for.
// Built without coverage instrumentation (fuzz/CMakeLists.txt), so that the
// fuzzer is guided by our code rather than by the regex engine's internals.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace fuzzcheck {

// Where a match put its two groups, as offsets into the matched text, so that
// agreement means the same bytes at the same place.
struct Groups {
  std::size_t firstPos;
  std::size_t firstLen;
  std::size_t secondPos;
  std::size_t secondLen;
  bool operator==(const Groups& other) const {
    return firstPos == other.firstPos && firstLen == other.firstLen && secondPos == other.secondPos &&
           secondLen == other.secondLen;
  }
};

// std::regex_match of LISTING_LINE_PATTERN on the whole of `line`.
std::optional<Groups> listingLineByRegex(std::string_view line);

// std::regex_match of PACKAGE_PATH_PATTERN on the whole of `path`.
std::optional<Groups> packagePathByRegex(std::string_view path);

} // namespace fuzzcheck
