#include "app/package_path.h"

#include <cstddef>

namespace {

constexpr std::string_view VOLUMES_PREFIX = "/Volumes/";

// ECMAScript '.' stops at these, so a path holding one can never match.
bool isLineBreak(char c) {
  return c == '\n' || c == '\r';
}

} // namespace

// The path comes straight from the command line of a program that runs as root
// inside installers, so its length is not ours to choose: a backtracking regex
// engine recurses once per character here and overflows the stack on long
// paths. The pattern only needs two facts, found in two passes over the path:
// no line break anywhere (every character but the prefix and the separating
// '/' is matched by '.'), and the split point. Both groups are greedy and the match must reach the end,
// so group 1 ends at the last '/' that leaves at least one character for group
// 2 and comes after at least one character of the volume name.
std::optional<PackagePath> matchPackagePath(std::string_view path) {
  if (path.substr(0, VOLUMES_PREFIX.size()) != VOLUMES_PREFIX) {
    return std::nullopt;
  }
  for (const char c : path) {
    if (isLineBreak(c)) {
      return std::nullopt;
    }
  }
  const std::size_t minSplit = VOLUMES_PREFIX.size() + 1;
  if (path.size() < minSplit + 2) {
    return std::nullopt;
  }
  const std::size_t split = path.rfind('/', path.size() - 2);
  if (split == std::string_view::npos || split < minSplit) {
    return std::nullopt;
  }
  return PackagePath{path.substr(0, split), path.substr(split + 1)};
}
