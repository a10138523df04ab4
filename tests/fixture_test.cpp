// brackwell-fixture (BRACKWELL_FIXTURE_BIN), which the demo, the benchmarks
// and the download-server test take their images and listings from: each
// image is byte for byte what the tests' own builders make of the same
// parts, the listings are the tests' listings, and a wrong word is a usage
// error rather than a different image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "profile/profile_trailer.h"
#include "support/listings.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::Bytes;
using testsupport::cat;
using testsupport::ChildSetup;
using testsupport::PROFILE;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::signatureBlob;
using testsupport::signedImage;
using testsupport::stamped;
using testsupport::TempDir;
using testsupport::udifTrailer;

namespace {

const std::string USAGE =
    "usage: brackwell-fixture image [--data N] [--fill zero|random|hole]\n"
    "                               [--profile FILE | --random-profile N] [--signature N] OUT\n"
    "       brackwell-fixture listings [--others N] IMAGE MOUNT DIR\n"
    "       brackwell-fixture --help\n";

// A run in `dir`, {DIR} in the arguments expanded; standard input is
// {DIR}/profile.bin, which holds PROFILE.
RunResult fixture(const TempDir& dir, const std::vector<std::string>& args) {
  const char* bin = std::getenv("BRACKWELL_FIXTURE_BIN");
  if (bin == nullptr) {
    ADD_FAILURE() << "BRACKWELL_FIXTURE_BIN is not set; run through ctest";
    return {};
  }
  std::vector<std::string> expanded;
  for (const std::string& arg : args) {
    expanded.push_back(testsupport::expandDir(arg, dir));
  }
  testsupport::writeFile(dir.file("profile.bin"), PROFILE);
  ChildSetup setup;
  setup.captureStderr = true;
  setup.stdinPath = dir.file("profile.bin");
  return testsupport::runProgram(bin, expanded, setup);
}

struct CommandCase {
  std::string name;
  std::vector<std::string> args;
  int exitCode;
  std::string err; // {DIR} expanded; standard output is empty
};

void PrintTo(const CommandCase& row, std::ostream* os) {
  *os << row.name;
}

std::vector<CommandCase> refusals() {
  return {
      {"NoCommand", {}, 2, "brackwell-fixture: no command\n" + USAGE},
      {"UnknownCommand", {"stamp"}, 2, "brackwell-fixture: unknown command 'stamp'\n" + USAGE},
      {"ImageWithoutOutput",
       {"image", "--data", "10"},
       2,
       "brackwell-fixture: image takes one output, OUT\n" + USAGE},
      {"ImageWithTwoOutputs",
       {"image", "a", "b"},
       2,
       "brackwell-fixture: image takes one output, OUT\n" + USAGE},
      {"SizeNotANumber",
       {"image", "--data", "1M", "{DIR}/x.dmg"},
       2,
       "brackwell-fixture: --data takes a whole number, not '1M'\n" + USAGE},
      {"NegativeSize",
       {"image", "--data", "-1", "{DIR}/x.dmg"},
       2,
       "brackwell-fixture: --data takes a whole number, not '-1'\n" + USAGE},
      {"OptionWithoutValue",
       {"image", "{DIR}/x.dmg", "--data"},
       2,
       "brackwell-fixture: --data needs a value\n" + USAGE},
      {"UnknownFill",
       {"image", "--fill", "ones", "{DIR}/x.dmg"},
       2,
       "brackwell-fixture: --fill takes zero, random or hole, not 'ones'\n" + USAGE},
      {"TwoProfiles",
       {"image", "--profile", "{DIR}/profile.bin", "--random-profile", "3", "{DIR}/x.dmg"},
       2,
       "brackwell-fixture: one profile at the most\n" + USAGE},
      {"ProfileTooLong",
       {"image", "--random-profile", "4294967296", "{DIR}/x.dmg"},
       2,
       "brackwell-fixture: --random-profile takes at most 4294967295, not 4294967296\n" + USAGE},
      {"SignatureShorterThanItsHeader",
       {"image", "--signature", "11", "{DIR}/x.dmg"},
       2,
       "brackwell-fixture: --signature takes at least 12, the superblob's header, not 11\n" + USAGE},
      {"UnknownOption",
       {"image", "--sparse", "{DIR}/x.dmg"},
       2,
       "brackwell-fixture: unknown option '--sparse'\n" + USAGE},
      {"ListingsWithoutDirectory",
       {"listings", "/Users/me/Setup.dmg", "/Volumes/Setup"},
       2,
       "brackwell-fixture: listings takes IMAGE, MOUNT and DIR\n" + USAGE},
      {"OthersNotANumber",
       {"listings", "--others", "many", "/Users/me/Setup.dmg", "/Volumes/Setup", "{DIR}"},
       2,
       "brackwell-fixture: --others takes a whole number, not 'many'\n" + USAGE},
      {"ProfileMissing",
       {"image", "--profile", "{DIR}/missing.bin", "{DIR}/x.dmg"},
       1,
       "brackwell-fixture: cannot read {DIR}/missing.bin\n"},
      {"HoleIntoAStream",
       {"image", "--fill", "hole", "--data", "4096", "-"},
       1,
       "brackwell-fixture: a hole needs a regular file to write the image to\n"},
      {"OutputDirectoryMissing",
       {"image", "{DIR}/missing/x.dmg"},
       1,
       "brackwell-fixture: cannot create {DIR}/missing/x.dmg: No such file or directory\n"},
      {"ListingsDirectoryMissing",
       {"listings", "/Users/me/Setup.dmg", "/Volumes/Setup", "{DIR}/missing"},
       1,
       "brackwell-fixture: cannot write {DIR}/missing/info.txt\n"},
  };
}

class Refusal : public ::testing::TestWithParam<CommandCase> {};

TEST_P(Refusal, SaysWhyAndWritesNoImage) {
  const CommandCase& c = GetParam();
  const TempDir dir;
  const RunResult run = fixture(dir, c.args);
  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(run.err, testsupport::expandDir(c.err, dir));
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(testsupport::listDirectory(dir.path()), std::vector<std::string>{"profile.bin"});
}

INSTANTIATE_TEST_SUITE_P(Runs, Refusal, ::testing::ValuesIn(refusals()),
                         [](const ::testing::TestParamInfo<CommandCase>& row) { return row.param.name; });

TEST(Help, GoesToStandardOutputWhereverItIsAsked) {
  const TempDir dir;
  const RunResult help = fixture(dir, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.substr(0, USAGE.size()), USAGE);
  EXPECT_NE(help.out.find("\nExit status: 0 done, 1 failed, 2 usage error.\n"), std::string::npos)
      << help.out;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-h"}, {"image", "--help"}, {"listings", "-h"}, {"image", "--data", "1", "-h", "{DIR}/x.dmg"}}) {
    const RunResult run = fixture(dir, args);
    EXPECT_EQ(run.exitCode, 0) << args[0];
    EXPECT_EQ(run.out, help.out) << args[0];
  }
  EXPECT_EQ(testsupport::listDirectory(dir.path()), std::vector<std::string>{"profile.bin"});
}

struct ImageCase {
  std::string name;
  std::vector<std::string> args; // the image goes to {DIR}/x.dmg
  Bytes image;                   // as the tests' builders make it
};

void PrintTo(const ImageCase& row, std::ostream* os) {
  *os << row.name;
}

std::vector<ImageCase> images() {
  const Bytes data(4096, 0);
  return {
      {"TrailerAlone", {}, udifTrailer()},
      {"DataThenTrailer", {"--data", "4096"}, cat({data, udifTrailer()})},
      {"Stamped", {"--data", "4096", "--profile", "{DIR}/profile.bin"}, stamped(data, PROFILE)},
      {"ProfileFromStandardInput", {"--profile", "-"}, stamped({}, PROFILE)},
      {"EmptyProfile", {"--data", "4096", "--profile", "/dev/null"}, stamped(data, {})},
      {"Signed",
       {"--data", "4096", "--signature", "64"},
       signedImage(cat({data, udifTrailer()}), signatureBlob(64))},
      {"SignedAfterStamping",
       {"--signature", "12", "--profile", "{DIR}/profile.bin", "--data", "4096"},
       signedImage(stamped(data, PROFILE), signatureBlob(12))},
      {"HoleReadsAsZeros", {"--fill", "hole", "--data", "4096", "--profile", "-"}, stamped(data, PROFILE)},
  };
}

class Image : public ::testing::TestWithParam<ImageCase> {};

TEST_P(Image, IsWhatTheBuildersMake) {
  const ImageCase& c = GetParam();
  const TempDir dir;
  std::vector<std::string> args = {"image"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  args.push_back("{DIR}/x.dmg");
  const RunResult run = fixture(dir, args);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readFile(dir.file("x.dmg")), c.image);

  // The same bytes to standard output, where a hole cannot be.
  if (std::find(c.args.begin(), c.args.end(), "hole") == c.args.end()) {
    args.back() = "-";
    const RunResult streamed = fixture(dir, args);
    EXPECT_EQ(streamed.exitCode, 0) << streamed.err;
    EXPECT_EQ(testsupport::toBytes(streamed.out), c.image);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Image, ::testing::ValuesIn(images()),
                         [](const ::testing::TestParamInfo<ImageCase>& row) { return row.param.name; });

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

// bench-stamp.sh compares an image unsigned by brackwell-stamp with a shorter
// image of the same fill: the pseudo-random data must be one sequence,
// across the 1 MiB pieces it is written in, and not a run of one byte.
TEST(RandomFill, IsOneSequenceWhateverTheLength) {
  const TempDir dir;
  const std::size_t shorter = (1 << 20) + 3;
  const std::size_t longer = (3 << 20) + 5;
  ASSERT_EQ(
      fixture(dir, {"image", "--fill", "random", "--data", std::to_string(shorter), "{DIR}/a.dmg"}).exitCode,
      0);
  ASSERT_EQ(
      fixture(dir, {"image", "--fill", "random", "--data", std::to_string(longer), "{DIR}/b.dmg"}).exitCode,
      0);
  const Bytes a = readFile(dir.file("a.dmg"));
  const Bytes b = readFile(dir.file("b.dmg"));
  ASSERT_EQ(a.size(), shorter + 512);
  ASSERT_EQ(b.size(), longer + 512);
  EXPECT_TRUE(slice(a, 0, shorter) == slice(b, 0, shorter))
      << "the data of the shorter image starts the longer one";
  EXPECT_EQ(slice(a, shorter, a.size()), udifTrailer());
  EXPECT_EQ(slice(b, longer, b.size()), udifTrailer());
  // Not one byte over and over, nor one piece over and over.
  EXPECT_NE(std::count(b.begin(), b.begin() + 4096, b[0]), 4096);
  EXPECT_FALSE(slice(b, 0, 1 << 20) == slice(b, 1 << 20, 2 << 20));
}

TEST(RandomProfile, IsReadBackWhole) {
  const TempDir dir;
  const RunResult run = fixture(dir, {"image", "--data", "100", "--random-profile", "70000", "{DIR}/x.dmg"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::ostringstream log;
  const ProfileReadResult read = readProfileFrom(dir.file("x.dmg"), log);
  ASSERT_TRUE(read.first) << log.str();
  ASSERT_EQ(read.second.size(), 70000u);
  EXPECT_NE(std::count(read.second.begin(), read.second.end(), read.second[0]), 70000);
  EXPECT_EQ(readFile(dir.file("x.dmg")).size(), 100u + 70000 + 16 + 512);
}

// What the benchmarks' 64 GiB images rely on: the data takes no room.
TEST(HoleFill, TakesNoRoomOnDisk) {
  const TempDir dir;
  const std::uint64_t size = std::uint64_t{1} << 30;
  const RunResult run =
      fixture(dir, {"image", "--fill", "hole", "--data", std::to_string(size), "{DIR}/x.dmg"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  struct stat st {};
  ASSERT_EQ(stat(dir.file("x.dmg").c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), size + 512);
  EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, std::uint64_t{1} << 20);
}

TEST(Listings, AreTheTestsListingsWithTheImageLast) {
  const TempDir dir;
  const std::string image = "/Users/me/Downloads/Setup 2.dmg";
  const RunResult alone = fixture(dir, {"listings", image, "/Volumes/Setup", "{DIR}"});
  ASSERT_EQ(alone.exitCode, 0) << alone.err;
  EXPECT_EQ(alone.out, "");
  const std::vector<testsupport::Attached> one = {{image, image, {"/Volumes/Setup"}}};
  EXPECT_EQ(readFile(dir.file("info.txt")), testsupport::toBytes(testsupport::textListing(one)));
  EXPECT_EQ(readFile(dir.file("info.plist")), testsupport::toBytes(testsupport::plistListing(one)));

  const RunResult busy = fixture(dir, {"listings", "--others", "4", image, "/Volumes/Setup", "{DIR}"});
  ASSERT_EQ(busy.exitCode, 0) << busy.err;
  std::vector<testsupport::Attached> five = testsupport::realisticImages(4);
  five.push_back(one[0]);
  EXPECT_EQ(readFile(dir.file("info.txt")), testsupport::toBytes(testsupport::textListing(five)));
  EXPECT_EQ(readFile(dir.file("info.plist")), testsupport::toBytes(testsupport::plistListing(five)));
}

} // namespace
