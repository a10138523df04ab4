#include "app/run.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>

#include "app/file_probe.h"
#include "app/package_path.h"
#include "app/shell_command.h"
#include "fileio/output_file.h"
#include "inventory/image_info.h"
#include "profile/profile_trailer.h"

namespace {

// Extracts the profile of one image that is mounted at the volume and writes
// it out. Reaching this point ends the search, whatever the outcome.
int extractProfile(const std::string& imagePath, const std::string& volume, const std::string& outputPath) {
  std::cout << "Going to extract profile from '" << imagePath << "' mounted at: '" << volume << "'"
            << std::endl;
  const ProfileReadResult profile = readProfileFrom(imagePath);
  if (!profile.first) {
    std::cout << "Can't extract profile from DMG." << std::endl;
    return EXIT_FAILURE;
  }
  // The output path is the caller's, but it may lie in a directory that
  // other accounts write to: what they may have planted there is refused
  // (fileio/place.h), like any other output that cannot be written.
  if (!fileio::writeOutputFile(outputPath, profile.second)) {
    std::cout << "Error writing output file" << std::endl;
    return EXIT_FAILURE;
  }
  std::cout << "Profile extracted to: " << outputPath << std::endl;
  return EXIT_SUCCESS;
}

} // namespace

void printHelp() {
  std::cout << "Quorlane DMG profile extract tool" << std::endl;
  std::cout << "usage: brackwell <path_to_package> <output_path>" << std::endl;
}

int runBrackwell(int argc, const char* const argv[], const char* utility) {
  if (argc < 3) {
    printHelp();
    return EXIT_FAILURE;
  }
  const std::string packagePath = argv[1];
  const std::string outputPath = argv[2];

  const auto match = matchPackagePath(packagePath);
  if (!match) {
    std::cout << "Invalid volume/package path - " << packagePath
              << ", expected to match regular expression - " << PACKAGE_PATH_PATTERN << std::endl;
    return EXIT_FAILURE;
  }
  const std::string volume(match->volume);
  std::cout << "PACKAGE PATH: '" << packagePath << "'" << std::endl;
  std::cout << "VOLUME PATH: '" << volume << "'" << std::endl;

  const std::string utilityPath = utility;
  const CommandResult info = runShellCommand(utilityPath + " info");
  if (info.first != 0) {
    std::cout << "Error, hdiutil command failed, with code: " << info.first << std::endl;
    return EXIT_FAILURE;
  }
  const auto aliases = getImageAliases(info.second);

  const CommandResult plistInfo = runShellCommand(utilityPath + " info -plist");
  if (plistInfo.first != 0) {
    std::cout << "Error, hdiutil (plist) command failed, with code: " << plistInfo.first << std::endl;
    return EXIT_FAILURE;
  }
  std::cout << "source hdiutil info plist --------------------------------------" << std::endl;
  std::cout << plistInfo.second << std::endl;
  std::cout << "-----------------------------------------------------------------" << std::endl;

  const std::vector<ImageInfo> images = getImageInfoFromPlist(plistInfo.second);
  if (images.empty()) {
    // The one message without an end-of-line; it is the last output of the
    // run and reaches the terminal when the process exits.
    std::cout << "Error: unable to get images information from hdiutils plist output.";
    return EXIT_FAILURE;
  }

  std::cout << "Searching images..." << std::endl;
  for (const ImageInfo& image : images) {
    std::cout << "Checking image-path: " << image.imagePath << std::endl;
    if (std::count(image.mountPoints.begin(), image.mountPoints.end(), volume) == 0) {
      std::cout << "No matching mount-points found, continue with next image" << std::endl;
      continue;
    }
    std::cout << "Found matching mount-point" << std::endl;

    // The listed path may be a name the image file no longer has (a path
    // under /var when the file is reached through /private/var); the text
    // listing's alias then names the file.
    std::string imagePath = image.imagePath;
    if (is_regular_file(imagePath)) {
      return extractProfile(imagePath, volume, outputPath);
    }
    const auto alias = aliases.find(imagePath);
    if (alias != aliases.end()) {
      return extractProfile(alias->second, volume, outputPath);
    }
    std::cout << "Invalid image path, skipping to next image" << std::endl;
  }
  std::cout << "No suitable image (DMG) found, profile is not extracted" << std::endl;
  return EXIT_FAILURE;
}
