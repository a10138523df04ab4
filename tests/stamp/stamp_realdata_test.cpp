// brackwell-stamp on real disk images made by real tools (beside the
// repository, not in it): every image round-trips through write, extract,
// replace and remove, and brackwell itself, run against the stand-in
// utility, reads back what was stamped.
#include <gtest/gtest.h>
#include <sstream>

#include "profile/profile_trailer.h"
#include "support/listings.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::Bytes;
using testsupport::ChildSetup;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::runStampTool;
using testsupport::TempDir;
using testsupport::toBytes;

namespace {

const char PROFILE_TEXT[] = "customer=Acme Corp\nlicense=ACME-4711\x00\xff\x01\n";
const Bytes PROFILE = toBytes(std::string(PROFILE_TEXT, sizeof PROFILE_TEXT - 1));

Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
  }
  return bytes;
}

bool isRealImage(const std::string& path) {
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".dmg") == 0 &&
         path.find("nokoly") == std::string::npos;
}

RunResult stamp(const std::vector<std::string>& args) {
  ChildSetup setup;
  setup.captureStderr = true;
  return runStampTool(args, setup);
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

// Writes `profile` into `image` (replacing when asked) and checks the layout
// against `original`, then that extract and the reader both give it back.
void writeAndReadBack(const std::string& image, const std::string& profilePath, const Bytes& profile,
                      const Bytes& original, bool replace) {
  testsupport::writeFile(profilePath, profile);
  std::vector<std::string> args = {"write", image, profilePath};
  if (replace) {
    args.push_back("--replace");
  }
  const RunResult written = stamp(args);
  ASSERT_EQ(written.exitCode, 0) << written.err;

  const Bytes stamped = readFile(image);
  const std::size_t front = original.size() - 512;
  ASSERT_EQ(stamped.size(), original.size() + profile.size() + 16);
  EXPECT_TRUE(slice(stamped, 0, front) == slice(original, 0, front))
      << "bytes in front of the insertion point";
  EXPECT_EQ(slice(stamped, front, front + profile.size()), profile);
  const auto descriptor = profile_trailer::encodeDescriptor(static_cast<std::uint32_t>(profile.size()));
  EXPECT_EQ(slice(stamped, front + profile.size(), stamped.size() - 512),
            Bytes(descriptor.begin(), descriptor.end()));
  EXPECT_EQ(slice(stamped, stamped.size() - 512, stamped.size()), slice(original, front, original.size()))
      << "the trailer";

  const RunResult extracted = stamp({"extract", image});
  EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
  EXPECT_EQ(toBytes(extracted.out), profile);
  std::ostringstream log;
  const ProfileReadResult read = readProfileFrom(image, log);
  EXPECT_TRUE(read.first) << log.str();
  EXPECT_EQ(read.second, profile);
}

TEST(RealImagesStamped, RoundTripGivesProfileAndOriginalBack) {
  const auto images = testsupport::realdataFiles("images");
  if (images.empty()) {
    GTEST_SKIP() << "real disk images not found under " << BRACKWELL_REALDATA_DIR << ": skipped";
  }
  std::size_t checked = 0;
  std::size_t expected = 0;
  for (const std::string& path : images) {
    if (!isRealImage(path)) {
      continue;
    }
    ++expected;
    SCOPED_TRACE(path);
    const Bytes original = readFile(path);
    TempDir dir;
    const std::string image = dir.file("image.dmg");
    const std::string profilePath = dir.file("profile.bin");
    testsupport::writeFile(image, original);

    writeAndReadBack(image, profilePath, PROFILE, original, false);
    writeAndReadBack(image, profilePath, pattern(5000), original, true);  // longer
    writeAndReadBack(image, profilePath, toBytes("abc"), original, true); // shorter
    const RunResult removed = stamp({"remove", image});
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_TRUE(readFile(image) == original) << "remove must give back the original byte for byte";

    writeAndReadBack(image, profilePath, {}, original, false); // empty profile
    const RunResult removedEmpty = stamp({"remove", image});
    EXPECT_EQ(removedEmpty.exitCode, 0) << removedEmpty.err;
    EXPECT_TRUE(readFile(image) == original);

    EXPECT_EQ(testsupport::listDirectory(dir.path()), (std::vector<std::string>{"image.dmg", "profile.bin"}));
    ++checked;
  }
  EXPECT_GT(expected, 0u);
  EXPECT_EQ(checked, expected);
}

TEST(RealImagesStamped, EncryptedImageWithoutTrailerIsRefused) {
  const std::string dir = testsupport::realdataDir();
  if (dir.empty()) {
    GTEST_SKIP() << "real disk images not found under " << BRACKWELL_REALDATA_DIR << ": skipped";
  }
  TempDir work;
  const Bytes original = readFile(dir + "/images/real-nokoly-1.dmg");
  testsupport::writeFile(work.file("image.dmg"), original);
  testsupport::writeFile(work.file("profile.bin"), PROFILE);
  for (const bool inPlace : {true, false}) {
    std::vector<std::string> args = {"write", work.file("image.dmg"), work.file("profile.bin")};
    if (!inPlace) {
      args.insert(args.end(), {"--out", work.file("out.dmg")});
    }
    const RunResult run = stamp(args);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "brackwell-stamp: '" + work.file("image.dmg") +
                           "' does not end in a 512-byte UDIF trailer ('koly' block not found)\n");
    EXPECT_TRUE(readFile(work.file("image.dmg")) == original);
    EXPECT_EQ(testsupport::listDirectory(work.path()),
              (std::vector<std::string>{"image.dmg", "profile.bin"}));
  }
}

// The whole chain: stamp a real image, present it through the stand-in
// utility as mounted at /Volumes/Setup, run brackwell (BRACKWELL_BIN) on a
// package there, and compare its output file with the profile.
TEST(RealImagesStamped, BrackwellReadsWhatWasStamped) {
  const auto images = testsupport::realdataFiles("images");
  if (images.empty()) {
    GTEST_SKIP() << "real disk images not found under " << BRACKWELL_REALDATA_DIR << ": skipped";
  }
  for (const std::string& path : images) {
    if (!isRealImage(path)) {
      continue;
    }
    SCOPED_TRACE(path);
    TempDir dir;
    const std::string image = dir.file("Setup.dmg");
    testsupport::writeFile(image, readFile(path));
    testsupport::writeFile(dir.file("profile.bin"), PROFILE);
    const RunResult stamped = stamp({"write", image, dir.file("profile.bin")});
    ASSERT_EQ(stamped.exitCode, 0) << stamped.err;

    const std::vector<testsupport::Attached> attached = {{image, image, {"/Volumes/Setup"}}};
    testsupport::writeFile(dir.file("info.txt"), testsupport::textListing(attached));
    testsupport::writeFile(dir.file("info.plist"), testsupport::plistListing(attached));
    ChildSetup setup;
    setup.env = {{"BRACKWELL_STANDIN_INFO", dir.file("info.txt")},
                 {"BRACKWELL_STANDIN_PLIST", dir.file("info.plist")}};
    const std::string output = dir.file("profile.out");

    const RunResult run = testsupport::runTool({"/Volumes/Setup/Install.pkg", output}, setup);

    EXPECT_EQ(run.exitCode, 0) << run.out;
    const std::string last = "Profile extracted to: " + output + "\n";
    EXPECT_TRUE(run.out.size() >= last.size() &&
                run.out.compare(run.out.size() - last.size(), last.size(), last) == 0)
        << run.out;
    EXPECT_EQ(readFile(output), PROFILE);
  }
}

} // namespace
