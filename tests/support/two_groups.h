// Comparing a two-group matcher with the regex engine its pattern was written
// for: same match, same text, same place. Used by the matcher tests and by
// the fuzz checks, which run it on inputs no one wrote.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

namespace testsupport {

// `text` fit to print in a test log or a terminal: the usual control
// characters spelled out (\t, \n, \v, \f, \r, \0), every other byte outside
// printable ASCII, and the backslash itself, as \xNN.
std::string visible(std::string_view text);

// Where a match put its two groups, as offsets into the matched text, so that
// agreement means the same bytes at the same place.
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

// Where two views into `text` lie; none when either reaches outside it (a
// fault of the matcher that made them).
std::optional<TwoGroups> groupsIn(std::string_view text, std::string_view first, std::string_view second);

// Groups 1 and 2 of a full match of `text` by `pattern`, or none. In
// regex_groups.cpp, which fuzz builds leave uninstrumented: the reference
// engine must not steer the fuzzer.
std::optional<TwoGroups> regexGroups(std::string_view text, const std::regex& pattern);

// "no match", or both groups with their text and position, named as given.
std::string describe(std::string_view text, const std::optional<TwoGroups>& groups, const char* firstName,
                     const char* secondName);

// A matcher beside the regex it stands in for, run on the same inputs.
class MatcherComparison {
public:
  using Matcher = std::function<std::optional<TwoGroups>(std::string_view)>;

  // `input` names what is matched ("line", "path"); the group names are the
  // matcher's ("key" and "value").
  MatcherComparison(const std::regex& pattern, Matcher matcher, const char* input, const char* firstName,
                    const char* secondName);

  std::optional<TwoGroups> byRegex(std::string_view text) const { return regexGroups(text, pattern_); }
  std::optional<TwoGroups> byMatcher(std::string_view text) const { return matcher_(text); }
  std::string describe(std::string_view text, const std::optional<TwoGroups>& groups) const;

  // Empty when both split `text` alike; otherwise both answers. Counts the
  // inputs the engine matched.
  std::string disagreement(std::string_view text);
  std::size_t matches() const { return matches_; }

private:
  const std::regex& pattern_;
  Matcher matcher_;
  const char* input_;
  const char* firstName_;
  const char* secondName_;
  std::size_t matches_ = 0;
};

// Calls `visit` with every string of up to `maxLength` characters over
// `alphabet`, shortest first, until it returns false.
void forEachString(const std::string& alphabet, std::size_t maxLength,
                   const std::function<bool(const std::string&)>& visit);

} // namespace testsupport
