// An independent UDIF reader still accepts stamped images: dmg2img (Debian
// package dmg2img) converts each stamped real image to the same raw image as
// the unstamped one. The profile sits between the image's data and its
// trailer, where readers that go by the trailer's offsets never look.
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::Bytes;
using testsupport::ChildSetup;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::TempDir;

namespace {

// dmg2img's path, searched on PATH; empty when it is not installed.
std::string findDmg2img() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/dmg2img";
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

// Converts `image` to a raw image at `raw`; returns dmg2img's exit status.
int convert(const std::string& dmg2img, const std::string& image, const std::string& raw) {
  ChildSetup setup;
  setup.captureStderr = true; // it reports progress there
  const RunResult run = testsupport::runProgram(dmg2img, {"-s", "-i", image, "-o", raw}, setup);
  return run.exitCode;
}

TEST(Dmg2img, StampedImageConvertsToTheSameRawImage) {
  const std::string dmg2img = findDmg2img();
  if (dmg2img.empty()) {
    GTEST_SKIP() << "dmg2img is not installed (Debian package dmg2img): skipped";
  }
  const auto images = testsupport::realdataFiles("images");
  if (images.empty()) {
    GTEST_SKIP() << "real disk images not found under " << BRACKWELL_REALDATA_DIR << ": skipped";
  }
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
