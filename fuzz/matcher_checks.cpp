#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "app/package_path.h"
#include "checks.h"
#include "inventory/image_info.h"
#include "inventory/listing_line.h"
#include "regex_oracle.h"

namespace fuzzcheck {

namespace {

using testsupport::groupsIn;
using testsupport::TwoGroups;
using testsupport::visible;

std::string describe(std::string_view text, const std::optional<TwoGroups>& groups) {
  return testsupport::describe(text, groups, "first group", "second group");
}

// The pattern engine's \s in the "C" locale.
bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isLineBreak(char c) {
  return c == '\n' || c == '\r';
}

bool allSpace(std::string_view text) {
  for (const char c : text) {
    if (!isSpace(c)) {
      return false;
    }
  }
  return true;
}

// What \S+.+\S+ accepts.
bool isListingGroup(std::string_view text) {
  if (text.size() < 3 || isSpace(text.front()) || isSpace(text.back())) {
    return false;
  }
  for (const char c : text) {
    if (isLineBreak(c)) {
      return false;
    }
  }
  return true;
}

// A reported match must be one the pattern allows, whatever the line's length:
// white space, key, white space, colon, white space, value, white space.
std::string checkListingLineShape(std::string_view line, std::optional<TwoGroups>& groups) {
  const std::optional<ListingLine> matched = matchListingLine(line);
  if (matched) {
    groups = groupsIn(line, matched->key, matched->value);
    if (!groups) {
      return "listing line '" + visible(line) + "': a group points outside the line";
    }
    const std::string_view lead = line.substr(0, groups->firstPos);
    const std::size_t keyEnd = groups->firstPos + groups->firstLen;
    const std::string_view separator =
        keyEnd <= groups->secondPos ? line.substr(keyEnd, groups->secondPos - keyEnd) : std::string_view();
    const std::string_view trail = line.substr(groups->secondPos + groups->secondLen);
    const std::size_t colon = separator.find(':');
    const bool separated = colon != std::string_view::npos && colon > 0 && colon + 1 < separator.size() &&
                           allSpace(separator.substr(0, colon)) && allSpace(separator.substr(colon + 1));
    if (!allSpace(lead) || !allSpace(trail) || !separated || !isListingGroup(matched->key) ||
        !isListingGroup(matched->value)) {
      return "listing line '" + visible(line) + "': " + describe(line, groups) +
             " is not a match of the line pattern";
    }
  }
  return {};
}

} // namespace

std::string checkListingLine(std::string_view line) {
  std::optional<TwoGroups> groups;
  const std::string fault = checkListingLineShape(line, groups);
  if (!fault.empty() || line.size() >= REGEX_ORACLE_LIMIT) {
    return fault;
  }
  const std::optional<TwoGroups> expected = listingLineByRegex(line);
  if (!(groups == expected)) {
    return "listing line '" + visible(line) + "': matcher gives " + describe(line, groups) +
           ", std::regex gives " + describe(line, expected);
  }
  return {};
}

std::string checkListing(std::string_view listing) {
  // Lines as getImageAliases splits them: at line feeds, the last one without.
  std::set<std::string_view> paths;
  std::set<std::string_view> aliases;
  std::string_view rest = listing;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    std::optional<TwoGroups> groups;
    const std::string fault = checkListingLineShape(line, groups);
    if (!fault.empty()) {
      return fault;
    }
    if (groups) {
      const std::string_view key = line.substr(groups->firstPos, groups->firstLen);
      const std::string_view value = line.substr(groups->secondPos, groups->secondLen);
      if (key == "image-path") {
        paths.insert(value);
      } else if (key == "image-alias") {
        aliases.insert(value);
      }
    }
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }

  // However the lines pair up, an entry maps the value of some image-path line
  // to the value of some image-alias line.
  for (const auto& [path, alias] : getImageAliases(std::string(listing))) {
    if (paths.count(path) == 0 || aliases.count(alias) == 0) {
      return "alias table entry '" + visible(path) + "' -> '" + visible(alias) +
             "' is not an image-path value mapped to an image-alias value";
    }
  }
  return {};
}

std::string checkPackagePath(std::string_view path) {
  const std::optional<PackagePath> matched = matchPackagePath(path);
  std::optional<TwoGroups> groups;
  if (matched) {
    groups = groupsIn(path, matched->volume, matched->package);
    if (!groups) {
      return "package path '" + visible(path) + "': a group points outside the path";
    }
    // The groups must cover the path exactly, split at one '/', the volume
    // under /Volumes/ with a name of its own, and no line break anywhere.
    // Group 1 is greedy, so the split is the last '/' that leaves something
    // after it: the package holds no '/' but maybe as its last character.
    const bool covers = groups->firstPos == 0 && groups->firstLen >= 10 &&
                        groups->secondPos == groups->firstLen + 1 && path[groups->firstLen] == '/' &&
                        groups->secondLen >= 1 && groups->secondPos + groups->secondLen == path.size() &&
                        path.substr(0, 9) == "/Volumes/";
    const std::string_view package = matched->package;
    const bool greedy =
        package.find('/') == std::string_view::npos || package.find('/') == package.size() - 1;
    bool lineBreak = false;
    for (const char c : path) {
      lineBreak = lineBreak || isLineBreak(c);
    }
    if (!covers || !greedy || lineBreak) {
      return "package path '" + visible(path) + "': " + describe(path, groups) +
             " is not a match of the package-path pattern";
    }
  }
  if (path.size() < REGEX_ORACLE_LIMIT) {
    const std::optional<TwoGroups> expected = packagePathByRegex(path);
    if (!(groups == expected)) {
      return "package path '" + visible(path) + "': matcher gives " + describe(path, groups) +
             ", std::regex gives " + describe(path, expected);
    }
  }
  return {};
}

} // namespace fuzzcheck
