// The matchers' reference: std::regex on the very patterns they stand in for.
// Built without coverage instrumentation (fuzz/CMakeLists.txt), like the
// regex half of tests/support/two_groups.h it calls, so that the fuzzer is
// guided by our code rather than by the regex engine's internals.
#pragma once

#include <optional>
#include <string_view>

#include "support/two_groups.h"

namespace fuzzcheck {

// std::regex_match of LISTING_LINE_PATTERN on the whole of `line`.
std::optional<testsupport::TwoGroups> listingLineByRegex(std::string_view line);

// std::regex_match of PACKAGE_PATH_PATTERN on the whole of `path`.
std::optional<testsupport::TwoGroups> packagePathByRegex(std::string_view path);

} // namespace fuzzcheck
