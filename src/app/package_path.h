// The package path a run is given: /Volumes/<volume>/<package>.
#pragma once

#include <optional>
#include <string_view>

// The package-path pattern, exactly as it is shown to the user.
inline constexpr const char* PACKAGE_PATH_PATTERN = "(/Volumes/.+)/(.+)";

struct PackagePath {
  std::string_view volume;  // group 1, e.g. /Volumes/Setup
  std::string_view package; // group 2
};

// Matches the whole path against PACKAGE_PATH_PATTERN (ECMAScript grammar) and
// returns its two groups, exactly as std::regex_match would, but in linear time
// and without recursion. The views point into `path`.
std::optional<PackagePath> matchPackagePath(std::string_view path);
