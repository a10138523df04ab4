// The attached disk images as the disk-image utility lists them.
#pragma once

#include <map>
#include <string>
#include <vector>

// One attached disk image: the path of its image file as listed and the mount
// points of its file systems (possibly none).
struct ImageInfo {
  std::string imagePath;
  std::vector<std::string> mountPoints;
};

// Image path -> image alias, built from the utility's text listing
// ("hdiutil info"). Pure; prints nothing.
std::map<std::string, std::string> getImageAliases(const std::string& listing);

// The attached images in listing order, built from the utility's property-list
// listing ("hdiutil info -plist"). Prints its progress and diagnostics on
// standard output; returns an empty list when the document is unusable.
std::vector<ImageInfo> getImageInfoFromPlist(const std::string& plistText);
