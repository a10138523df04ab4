// Realistic listings of the disk-image utility, for fixtures.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// One attached image as both listings show it.
struct Attached {
  std::string path;
  std::string alias; // empty: the text listing has no image-alias line
  std::vector<std::string> mounts;
};

// What "hdiutil info" prints for these images.
std::string textListing(const std::vector<Attached>& images);

// What "hdiutil info -plist" prints for these images.
std::string plistListing(const std::vector<Attached>& images);

} // namespace testsupport
