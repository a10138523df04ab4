#include "regex_oracle.h"

#include <regex>

#include "app/package_path.h"
#include "inventory/listing_line.h"

namespace fuzzcheck {

std::optional<testsupport::TwoGroups> listingLineByRegex(std::string_view line) {
  static const std::regex pattern(LISTING_LINE_PATTERN);
  return testsupport::regexGroups(line, pattern);
}

std::optional<testsupport::TwoGroups> packagePathByRegex(std::string_view path) {
  static const std::regex pattern(PACKAGE_PATH_PATTERN);
  return testsupport::regexGroups(path, pattern);
}

} // namespace fuzzcheck
