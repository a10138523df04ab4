#include <string>
#include <string_view>
#include <vector>

#include "checks.h"
#include "inventory/image_info.h"
#include "support/test_support.h"
#include "support/two_groups.h"

namespace fuzzcheck {

using testsupport::visible;

namespace {

constexpr std::string_view PARSING = "Parsing next image info \n";
const std::string_view STRUCTURAL_ERRORS[] = {
    "Error: plist: cannot parse XML, invalid format?\n",
    "Error: plist: missing root <plist> element\n",
    "Error: plist: missing root 'dict' element\n",
    "Error: plist: missing 'images' property\n",
};
const std::string_view IMAGE_WARNINGS[] = {
    "Warning: plist:: can't retreive 'image-path' property, skipping to next image\n",
    "Warning: plist:: missing 'system-entities' property, skipping to next image\n",
};

// Consumes `expected` at the front of `rest`.
bool take(std::string_view& rest, std::string_view expected) {
  if (rest.substr(0, expected.size()) != expected) {
    return false;
  }
  rest.remove_prefix(expected.size());
  return true;
}

} // namespace

// The reader's report is the user's only view of what it found, so it must
// tell exactly the records it returns: one "Parsing" line per image entry,
// then either a warning (the entry is dropped) or one line per mount point of
// the next record, in order; then the count. A structural error is one line
// and no records.
std::string checkPlist(std::string_view plist) {
  std::vector<ImageInfo> records;
  std::string printed;
  {
    // Standard output is where the reader reports; it is taken over for the call.
    const testsupport::CoutCapture capture;
    records = getImageInfoFromPlist(std::string(plist));
    printed = capture.text();
  }

  for (const std::string_view error : STRUCTURAL_ERRORS) {
    if (printed == error) {
      return records.empty() ? std::string() : "records returned after '" + visible(error) + "'";
    }
  }

  std::string_view rest = printed;
  std::size_t next = 0;
  while (take(rest, PARSING)) {
    bool dropped = false;
    for (const std::string_view warning : IMAGE_WARNINGS) {
      dropped = dropped || take(rest, warning);
    }
    if (dropped) {
      continue;
    }
    if (next == records.size()) {
      return "more image entries reported than the " + std::to_string(records.size()) + " records returned";
    }
    for (const std::string& mountPoint : records[next].mountPoints) {
      if (!take(rest, "mount-point: '" + mountPoint + "'\n")) {
        return "record " + std::to_string(next) + ": mount point '" + visible(mountPoint) +
               "' not reported where expected, at '" + visible(rest.substr(0, 80)) + "'";
      }
    }
    ++next;
  }
  const std::string loaded = "Loaded " + std::to_string(records.size()) + " image infos from plist\n";
  if (next != records.size() || rest != loaded) {
    return std::to_string(records.size()) + " records returned, " + std::to_string(next) +
           " reported, report ends with '" + visible(rest.substr(0, 120)) + "'";
  }
  return {};
}

} // namespace fuzzcheck
