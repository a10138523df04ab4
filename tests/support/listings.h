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

// `count` attached images as a developer's machine shows them: installers in
// Downloads, images opened from a translocated temporary folder (listed under
// /var, found under /private/var), and images with two file systems.
std::vector<Attached> realisticImages(int count);

// What "hdiutil info" prints for these images.
std::string textListing(const std::vector<Attached>& images);

// What "hdiutil info -plist" prints for these images.
std::string plistListing(const std::vector<Attached>& images);

} // namespace testsupport
