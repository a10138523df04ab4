// Comparing a two-group matcher with the regex engine its pattern was
// written for: same match, same text, same place.
#pragma once

#include <cstddef>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

namespace testsupport {

// Control characters spelled out, so a failing input can be read in the log.
std::string visible(std::string_view text);

struct TwoGroups {
  std::size_t firstPos;
  std::size_t firstLen;
  std::size_t secondPos;
  std::size_t secondLen;
  bool operator==(const TwoGroups& other) const {
    return firstPos == other.firstPos && firstLen == other.firstLen && secondPos == other.secondPos &&
           secondLen == other.secondLen;
  }
  bool operator!=(const TwoGroups& other) const { return !(*this == other); }
};

// Where two views into `text` lie.
TwoGroups groupsIn(std::string_view text, std::string_view first, std::string_view second);

// Groups 1 and 2 of a full match of `text` by `pattern`, or none.
std::optional<TwoGroups> regexGroups(const std::string& text, const std::regex& pattern);

// "no match", or both groups with their text and position, named as given.
std::string describe(std::string_view text, const std::optional<TwoGroups>& groups, const char* firstName,
                     const char* secondName);

} // namespace testsupport
