// One "key : value" line of the disk-image utility's text listing.
#pragma once

#include <optional>
#include <string_view>

// The line pattern, exactly as the listing format is defined by it.
inline constexpr const char* LISTING_LINE_PATTERN = R"(\s*(\S+.+\S+)\s+:\s+(\S+.+\S+)\s*)";

struct ListingLine {
  std::string_view key;   // group 1
  std::string_view value; // group 2
};

// Matches a whole line (no line feed in it) against LISTING_LINE_PATTERN
// (ECMAScript grammar) and returns its two groups, exactly as std::regex_match
// would, but in time linear in the line's length and without recursion.
// The views point into `line`.
std::optional<ListingLine> matchListingLine(std::string_view line);
