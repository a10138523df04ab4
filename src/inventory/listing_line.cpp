#include "inventory/listing_line.h"

#include <cstddef>

namespace {

// The pattern engine's \s in the "C" locale.
bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Neither \S nor '.' accepts these, so no group may contain one.
bool isLineBreak(char c) {
  return c == '\n' || c == '\r';
}

constexpr std::size_t MIN_GROUP_LENGTH = 3; // \S, at least one '.', \S

} // namespace

// The listing comes from a utility whose output we do not control, and a
// backtracking engine spends seconds on a single kilobyte-long line without
// white space, trying every way of spreading it over \S+.+\S+. The pattern
// pins almost everything down, so no search is needed:
//  - the surrounding \s* take exactly the leading and trailing white space,
//    because both groups begin and end with \S;
//  - the colon needs white space on both sides, and each \s+ takes the whole
//    run next to it, so a candidate colon fixes where the key ends and where
//    the value starts; the key always starts at the first non-white-space
//    character and the value always ends at the last one;
//  - a group is \S+.+\S+, which accepts any text of three or more characters
//    that begins and ends with \S and holds no line break.
// Group 1 is greedy and the engine tries its longer candidates first, so the
// match it reports is the one whose key ends furthest right: the rightmost
// colon for which both groups are valid. Scanning colons from the right and
// knowing up front the first line break after the key's start and the last one
// before the value's end makes each candidate cost only its two white-space
// runs; a run borders at most two colons, so the whole scan is linear.
std::optional<ListingLine> matchListingLine(std::string_view line) {
  const std::size_t size = line.size();
  std::size_t first = 0;
  while (first < size && isSpace(line[first])) {
    ++first;
  }
  std::size_t end = size;
  while (end > first && isSpace(line[end - 1])) {
    --end;
  }
  if (end - first < 2 * MIN_GROUP_LENGTH + 3) { // key, " : ", value
    return std::nullopt;
  }

  // The key may reach up to the first line break, the value may start just
  // after the last one.
  std::size_t keyLimit = first;
  while (keyLimit < end && !isLineBreak(line[keyLimit])) {
    ++keyLimit;
  }
  std::size_t valueFloor = end;
  while (valueFloor > first && !isLineBreak(line[valueFloor - 1])) {
    --valueFloor;
  }

  // A candidate colon leaves room for a minimal key and a minimal value, each
  // with the white space that must separate it from the colon.
  for (std::size_t colon = end - MIN_GROUP_LENGTH - 2; colon > first + MIN_GROUP_LENGTH; --colon) {
    if (line[colon] != ':' || !isSpace(line[colon - 1]) || !isSpace(line[colon + 1])) {
      continue;
    }
    std::size_t keyEnd = colon - 1;
    while (isSpace(line[keyEnd - 1])) { // line[first] is not white space
      --keyEnd;
    }
    std::size_t valueStart = colon + 1;
    while (isSpace(line[valueStart])) { // line[end - 1] is not white space
      ++valueStart;
    }
    if (keyEnd - first >= MIN_GROUP_LENGTH && keyEnd <= keyLimit && end - valueStart >= MIN_GROUP_LENGTH &&
        valueStart >= valueFloor) {
      return ListingLine{line.substr(first, keyEnd - first), line.substr(valueStart, end - valueStart)};
    }
  }
  return std::nullopt;
}
