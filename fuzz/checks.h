// What the fuzz targets check about one input.
//
// Each check runs one piece of the tool on an input it does not control and
// compares the result with what the input says it must be. It returns an
// empty string when the code handled the input correctly and a description of
// the fault otherwise: the fuzz targets abort on it, so that libFuzzer keeps
// the input, and the test suite replays the committed corpora and findings
// through the same checks in every build.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fuzzcheck {

// The linear matchers are compared with std::regex on inputs (lines) shorter
// than this. The backtracking engine costs polynomial time and recurses per
// character, so on longer inputs only the shape of a match is checked.
constexpr std::size_t REGEX_ORACLE_LIMIT = 64;

// One line of the text listing through matchListingLine; compared with
// std::regex when it is short.
std::string checkListingLine(std::string_view line);

// A whole text listing: every line through matchListingLine (the shape of each
// match only: a listing has too many lines for the regex engine), then the
// whole through getImageAliases.
std::string checkListing(std::string_view listing);

// The property-list listing through getImageInfoFromPlist: what it printed
// must agree with the records it returned.
std::string checkPlist(std::string_view plist);

// A package path through matchPackagePath; compared with std::regex when it is
// short.
std::string checkPackagePath(std::string_view path);

// A whole image file through readProfileFrom. The image is written to
// `scratch` (created or overwritten) and the outcome compared with the
// layout read straight from the bytes.
std::string checkProfile(std::string_view image, const std::string& scratch);

// The C interface a server module calls (brackwell_recipe_make) on an
// image's bytes and a profile, split from one input (recipe_check.cpp says
// how), written to files in the directory `scratchDir`: the recipe, or the
// refusal and its message, compared with the layout read straight from the
// bytes, and its image read back as brackwell reads it.
std::string checkRecipe(std::string_view input, const std::string& scratchDir);

// Makes the file `path` hold exactly `bytes`, rewriting it in place and
// cutting it to size: truncating it to zero first would make ext4 flush it
// to disk on close (its guard for files replaced by truncation), which
// costs milliseconds per input. Empty, or why it failed.
std::string writeScratch(const std::string& path, std::string_view bytes);

} // namespace fuzzcheck
