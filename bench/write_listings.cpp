// brackwell_bench_listings <directory> <images> <image file>: writes the pair
// of listings the stand-in utility prints for the whole-run comparison,
// info.txt ("hdiutil info") and info.plist ("hdiutil info -plist"). They show
// <images> realistic attached images; the last one is <image file>, mounted
// at /Volumes/Setup, so a run checks every other image before it finds its own.
#include <cstdio>
#include <exception>
#include <string>

#include "support/listings.h"
#include "support/test_support.h"

int main(int argc, char* argv[]) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: brackwell_bench_listings <directory> <images> <image file>\n");
    return 2;
  }
  try {
    const std::string dir = argv[1];
    const int count = std::stoi(argv[2]);
    if (count < 1) {
      throw std::invalid_argument("at least one image");
    }
    std::vector<testsupport::Attached> images = testsupport::realisticImages(count - 1);
    images.push_back({argv[3], argv[3], {"/Volumes/Setup"}});
    testsupport::writeFile(dir + "/info.txt", testsupport::textListing(images));
    testsupport::writeFile(dir + "/info.plist", testsupport::plistListing(images));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "brackwell_bench_listings: %s\n", error.what());
    return 1;
  }
  return 0;
}
