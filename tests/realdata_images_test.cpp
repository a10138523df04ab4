// Profiles placed in front of the trailers of real disk images made by real
// tools read back exactly. The images live beside the repository, not in it.
#include <gtest/gtest.h>

#include "profile/profile_trailer.h"
#include "support/test_support.h"

using testsupport::Bytes;

namespace {

TEST(RealImages, ProfileInFrontOfTrailerReadsBack) {
  const auto images = testsupport::realdataFiles("images");
  if (images.empty()) {
    GTEST_SKIP() << "real disk images not found under " << BRACKWELL_REALDATA_DIR << ": skipped";
  }
  const char text[] = "profile\0\xff\x01 of a real image\n";
  const Bytes profile = testsupport::toBytes(std::string(text, sizeof text - 1));
  int checked = 0;
  for (const std::string& path : images) {
    if (path.find("nokoly") != std::string::npos || path.size() < 4 ||
        path.compare(path.size() - 4, 4, ".dmg") != 0) {
      continue;
    }
    SCOPED_TRACE(path);
    const Bytes original = testsupport::readFile(path);
    ASSERT_GE(original.size(), 512u);
    // Insert the profile and descriptor where the trailer begins.
    const Bytes front(original.begin(), original.end() - 512);
    Bytes stamped = testsupport::imageWithProfile(front, profile);
    std::copy(original.end() - 512, original.end(), stamped.end() - 512); // the image's own trailer
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("stamped.dmg"), stamped);

    testsupport::CoutCapture capture;
    const ProfileReadResult result = readProfileFrom(dir.file("stamped.dmg"));
    EXPECT_TRUE(result.first) << capture.text();
    EXPECT_EQ(result.second, profile);
    ++checked;
  }
  EXPECT_EQ(checked, 11);
}

TEST(RealImages, EncryptedImageWithoutTrailerIsRejected) {
  const std::string dir = testsupport::realdataDir();
  if (dir.empty()) {
    GTEST_SKIP() << "real disk images not found under " << BRACKWELL_REALDATA_DIR << ": skipped";
  }
  const std::string path = dir + "/images/real-nokoly-1.dmg";
  testsupport::CoutCapture capture;
  const ProfileReadResult result = readProfileFrom(path);
  EXPECT_FALSE(result.first);
  EXPECT_TRUE(result.second.empty());
  EXPECT_EQ(capture.text(), "Extracting profile from DMG at '" + path + "'\n'koly' block not found\n");
}

} // namespace
