// Profiles placed in front of the trailers of real disk images made by real
// tools read back exactly. The images live beside the repository, not in it.
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "profile/profile_trailer.h"
#include "support/real_data.h"
#include "support/test_support.h"

using testsupport::Bytes;

namespace {

using RealImages = testsupport::RealData;

bool isImage(const std::string& path) {
  return std::filesystem::path(path).extension() == ".dmg";
}

// Whether `path` is an image whose last 512 bytes are a UDIF trailer.
bool endsInTrailer(const std::string& path) {
  const Bytes bytes = testsupport::readFile(path);
  return isImage(path) && bytes.size() >= 512 &&
         std::equal(bytes.end() - 512, bytes.end() - 508, profile_trailer::TRAILER_SIGNATURE.begin());
}

TEST_F(RealImages, ProfileInFrontOfTrailerReadsBack) {
  const std::vector<std::string> images = files("images");
  // The corpus names its images without a trailer "nokoly"; every other one
  // must be found to end in a trailer and read back.
  const auto named =
      static_cast<int>(std::count_if(images.begin(), images.end(), [](const std::string& path) {
        return isImage(path) && path.find("nokoly") == std::string::npos;
      }));
  ASSERT_GT(named, 0) << "no real image in the corpus";
  const char text[] = "profile\0\xff\x01 of a real image\n";
  const Bytes profile = testsupport::toBytes(std::string(text, sizeof text - 1));
  int checked = 0;
  for (const std::string& path : images) {
    if (!endsInTrailer(path)) {
      continue;
    }
    SCOPED_TRACE(path);
    const Bytes original = testsupport::readFile(path);
    ASSERT_GE(original.size(), 512u);
    // Insert the profile and descriptor where the trailer begins.
    const Bytes front(original.begin(), original.end() - 512);
    Bytes stamped = testsupport::stamped(front, profile);
    std::copy(original.end() - 512, original.end(), stamped.end() - 512); // the image's own trailer
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("stamped.dmg"), stamped);

    testsupport::CoutCapture capture;
    const ProfileReadResult result = readProfileFrom(dir.file("stamped.dmg"));
    EXPECT_TRUE(result.first) << capture.text();
    EXPECT_EQ(result.second, profile);
    ++checked;
  }
  EXPECT_EQ(checked, named);
}

TEST_F(RealImages, EncryptedImageWithoutTrailerIsRejected) {
  const std::string path = RealImages::path("images/real-nokoly-1.dmg");
  testsupport::CoutCapture capture;
  const ProfileReadResult result = readProfileFrom(path);
  EXPECT_FALSE(result.first);
  EXPECT_TRUE(result.second.empty());
  EXPECT_EQ(capture.text(), "Extracting profile from DMG at '" + path + "'\n'koly' block not found\n");
}

} // namespace
