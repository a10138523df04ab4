// An independent UDIF reader still accepts stamped images: dmg2img (Debian
// package dmg2img) converts each stamped real image to the same raw image as
// the unstamped one. The profile sits between the image's data and its
// trailer, where readers that go by the trailer's offsets never look.
#include <cstdlib>
#include <gtest/gtest.h>

#include "support/real_data.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::Bytes;
using testsupport::ChildSetup;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

// Converts `image` to a raw image at `raw`; returns dmg2img's exit status.
int convert(const std::string& dmg2img, const std::string& image, const std::string& raw) {
  ChildSetup setup;
  setup.captureStderr = true; // it reports progress there
  const RunResult run = testsupport::runProgram(dmg2img, {"-s", "-i", image, "-o", raw}, setup);
  return run.exitCode;
}

using Dmg2img = testsupport::RealData;

TEST_F(Dmg2img, StampedImageConvertsToTheSameRawImage) {
  // Where CMake's find_program found it when the build was configured.
  const char* found = std::getenv("BRACKWELL_DMG2IMG");
  if (found == nullptr || *found == '\0') {
    GTEST_SKIP() << "dmg2img was not found when the build was configured (Debian package dmg2img): skipped";
  }
  const std::string dmg2img = found;
  const auto images = files("images");
  ASSERT_FALSE(images.empty());
  const char* stampBin = std::getenv("BRACKWELL_STAMP_BIN");
  ASSERT_NE(stampBin, nullptr) << "BRACKWELL_STAMP_BIN is not set; run through ctest";
  int checked = 0;
  for (const std::string& path : images) {
    if (path.find("nokoly") != std::string::npos) {
      continue;
    }
    SCOPED_TRACE(path);
    TempDir dir;
    testsupport::writeFile(dir.file("profile.bin"), testsupport::toBytes("customer=Acme\n\x01\xff"));
    ChildSetup quiet;
    quiet.captureStderr = true;
    const RunResult stamped = testsupport::runProgram(
        stampBin, {"write", path, dir.file("profile.bin"), "--out", dir.file("s.dmg")}, quiet);
    ASSERT_EQ(stamped.exitCode, 0) << stamped.err;

    ASSERT_EQ(convert(dmg2img, path, dir.file("plain.img")), 0);
    ASSERT_EQ(convert(dmg2img, dir.file("s.dmg"), dir.file("stamped.img")), 0);
    const Bytes plain = readFile(dir.file("plain.img"));
    EXPECT_FALSE(plain.empty());
    EXPECT_TRUE(readFile(dir.file("stamped.img")) == plain) << "the raw images differ";
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

} // namespace
