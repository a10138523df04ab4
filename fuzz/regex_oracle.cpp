#include "regex_oracle.h"

#include <regex>
#include <string>

#include "app/package_path.h"
#include "inventory/listing_line.h"

namespace fuzzcheck {

namespace {

std::optional<Groups> groupsOf(std::string_view text, const std::regex& pattern) {
  const std::string subject(text);
  std::smatch match;
  if (!std::regex_match(subject, match, pattern)) {
    return std::nullopt;
  }
  return Groups{static_cast<std::size_t>(match.position(1)), static_cast<std::size_t>(match.length(1)),
                static_cast<std::size_t>(match.position(2)), static_cast<std::size_t>(match.length(2))};
}

} // namespace

std::optional<Groups> listingLineByRegex(std::string_view line) {
  static const std::regex pattern(LISTING_LINE_PATTERN);
  return groupsOf(line, pattern);
}

std::optional<Groups> packagePathByRegex(std::string_view path) {
  static const std::regex pattern(PACKAGE_PATH_PATTERN);
  return groupsOf(path, pattern);
}

} // namespace fuzzcheck
