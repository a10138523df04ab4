// End-to-end runs of the real binary, built against the stand-in utility
// (tests/standin/hdiutil). Each case compares the exact bytes on standard
// output, the exit status and what became of the output file.
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "support/listings.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::Attached;
using testsupport::Bytes;
using testsupport::ChildSetup;
using testsupport::plistListing;
using testsupport::replaceAll;
using testsupport::RunResult;
using testsupport::runTool;
using testsupport::TempDir;
using testsupport::textListing;
using testsupport::toBytes;

namespace {

// Binary on purpose: a zero byte and 0xff must come through unchanged.
const char PROFILE_TEXT[] = "customer=Acme Corp\nseat-key=\x01\x02\x00\xff\n";
const Bytes PROFILE = toBytes(std::string(PROFILE_TEXT, sizeof PROFILE_TEXT - 1));
const std::string OLD_OUTPUT = "previous contents\n";

enum class Output {
  profile,   // the output file holds exactly the profile
  empty,     // the output file exists and is empty
  untouched, // a file that was there before the run is unchanged
  absent     // no file was created
};

struct Case {
  std::string name;
  std::vector<std::string> args; // {DIR}: the case's directory, {OUT}: its output path
  std::vector<Attached> images;  // the stand-in's listings
  std::string plistOverride;     // used instead of the generated property list when set
  int infoStatus = 0;
  int plistStatus = 0;
  rlim_t maxOpenFiles = 0;
  std::string expected; // standard output; {DIR}, {OUT}, {ECHO}: the echoed property list
  int exitCode = 0;
  Output output = Output::profile;
  std::string calls; // the utility's invocations, one per line
};

const std::string PKG = "/Volumes/Setup/Install.pkg";
const std::string BOTH_CALLS = "info\ninfo -plist\n";
const std::string HEAD = "PACKAGE PATH: '/Volumes/Setup/Install.pkg'\nVOLUME PATH: '/Volumes/Setup'\n{ECHO}";
const std::string ONE_IMAGE = "Parsing next image info \nmount-point: '/Volumes/Setup'\n"
                              "Loaded 1 image infos from plist\nSearching images...\n";
const std::string HELP =
    "Quorlane DMG profile extract tool\nusage: brackwell <path_to_package> <output_path>\n";
const std::string SETUP_FOUND = "Checking image-path: {DIR}/Setup.dmg\nFound matching mount-point\n";
const std::string SUCCESS_TAIL =
    "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
    "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
    "Profile extracted to: {OUT}\n";

std::vector<Case> cases() {
  const Attached setup{"{DIR}/Setup.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}};
  return {
      {"FullRun",
       {PKG, "{OUT}"},
       {setup},
       "",
       0,
       0,
       0,
       HEAD + ONE_IMAGE + SETUP_FOUND + SUCCESS_TAIL,
       0,
       Output::profile,
       BOTH_CALLS},
      {"NoArguments", {}, {setup}, "", 0, 0, 0, HELP, 1, Output::untouched, ""},
      {"OneArgument", {PKG}, {setup}, "", 0, 0, 0, HELP, 1, Output::untouched, ""},
      {"ExtraArgumentsIgnored",
       {PKG, "{OUT}", "--verbose", "x"},
       {setup},
       "",
       0,
       0,
       0,
       HEAD + ONE_IMAGE + SETUP_FOUND + SUCCESS_TAIL,
       0,
       Output::profile,
       BOTH_CALLS},
      {"PathNotUnderVolumes",
       {"/Users/me/Install.pkg", "{OUT}"},
       {setup},
       "",
       0,
       0,
       0,
       "Invalid volume/package path - /Users/me/Install.pkg, expected to match regular expression - "
       "(/Volumes/.+)/(.+)\n",
       1,
       Output::untouched,
       ""},
      {"PathWithoutPackage",
       {"/Volumes/Setup", "{OUT}"},
       {setup},
       "",
       0,
       0,
       0,
       "Invalid volume/package path - /Volumes/Setup, expected to match regular expression - "
       "(/Volumes/.+)/(.+)\n",
       1,
       Output::untouched,
       ""},
      {"PathWithLineFeed",
       {"/Volumes/Setup/Install\n.pkg", "{OUT}"},
       {setup},
       "",
       0,
       0,
       0,
       "Invalid volume/package path - /Volumes/Setup/Install\n.pkg, expected to match regular expression - "
       "(/Volumes/.+)/(.+)\n",
       1,
       Output::untouched,
       ""},
      {"TrailingSlashKeepsVolume",
       {"/Volumes/Setup/Install.pkg/", "{OUT}"},
       {setup},
       "",
       0,
       0,
       0,
       "PACKAGE PATH: '/Volumes/Setup/Install.pkg/'\nVOLUME PATH: '/Volumes/Setup'\n{ECHO}" + ONE_IMAGE +
           SETUP_FOUND + SUCCESS_TAIL,
       0,
       Output::profile,
       BOTH_CALLS},
      {"SubdirectoryIsTheVolume",
       {"/Volumes/Setup/sub/Install.pkg", "{OUT}"},
       {setup},
       "",
       0,
       0,
       0,
       "PACKAGE PATH: '/Volumes/Setup/sub/Install.pkg'\nVOLUME PATH: '/Volumes/Setup/sub'\n{ECHO}" +
           ONE_IMAGE +
           "Checking image-path: {DIR}/Setup.dmg\nNo matching mount-points found, continue with next image\n"
           "No suitable image (DMG) found, profile is not extracted\n",
       1,
       Output::untouched,
       BOTH_CALLS},
      {"TextListingFails",
       {PKG, "{OUT}"},
       {setup},
       "",
       1,
       0,
       0,
       "PACKAGE PATH: '/Volumes/Setup/Install.pkg'\nVOLUME PATH: '/Volumes/Setup'\n"
       "Error, hdiutil command failed, with code: 256\n",
       1,
       Output::untouched,
       "info\n"},
      {"TextListingPipeFails",
       {PKG, "{OUT}"},
       {setup},
       "",
       0,
       0,
       4,
       "PACKAGE PATH: '/Volumes/Setup/Install.pkg'\nVOLUME PATH: '/Volumes/Setup'\n"
       "Error, hdiutil command failed, with code: -1\n",
       1,
       Output::untouched,
       ""},
      {"PlistListingFails",
       {PKG, "{OUT}"},
       {setup},
       "",
       0,
       2,
       0,
       "PACKAGE PATH: '/Volumes/Setup/Install.pkg'\nVOLUME PATH: '/Volumes/Setup'\n"
       "Error, hdiutil (plist) command failed, with code: 512\n",
       1,
       Output::untouched,
       BOTH_CALLS},
      {"PlistUnparsable",
       {PKG, "{OUT}"},
       {setup},
       "<plist><dict>",
       0,
       0,
       0,
       HEAD + "Error: plist: cannot parse XML, invalid format?\n"
              "Error: unable to get images information from hdiutils plist output.",
       1,
       Output::untouched,
       BOTH_CALLS},
      {"NothingAttached",
       {PKG, "{OUT}"},
       {},
       "",
       0,
       0,
       0,
       HEAD + "Loaded 0 image infos from plist\n"
              "Error: unable to get images information from hdiutils plist output.",
       1,
       Output::untouched,
       BOTH_CALLS},
      {"SecondImageMatches",
       {PKG, "{OUT}"},
       {{"{DIR}/Other.dmg", "{DIR}/Other.dmg", {"/Volumes/Other"}}, setup},
       "",
       0,
       0,
       0,
       HEAD +
           "Parsing next image info \nmount-point: '/Volumes/Other'\n"
           "Parsing next image info \nmount-point: '/Volumes/Setup'\n"
           "Loaded 2 image infos from plist\nSearching images...\n"
           "Checking image-path: {DIR}/Other.dmg\nNo matching mount-points found, continue with next "
           "image\n" +
           SETUP_FOUND + SUCCESS_TAIL,
       0,
       Output::profile,
       BOTH_CALLS},
      {"ReadThroughAlias",
       {PKG, "{OUT}"},
       {{"{DIR}/var/Setup.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}}},
       "",
       0,
       0,
       0,
       HEAD + ONE_IMAGE + "Checking image-path: {DIR}/var/Setup.dmg\nFound matching mount-point\n" +
           SUCCESS_TAIL,
       0,
       Output::profile,
       BOTH_CALLS},
      {"NeitherFileNorAlias",
       {PKG, "{OUT}"},
       {{"{DIR}/gone.dmg", "", {"/Volumes/Setup"}}},
       "",
       0,
       0,
       0,
       HEAD + ONE_IMAGE +
           "Checking image-path: {DIR}/gone.dmg\nFound matching mount-point\n"
           "Invalid image path, skipping to next image\n"
           "No suitable image (DMG) found, profile is not extracted\n",
       1,
       Output::untouched,
       BOTH_CALLS},
      {"UnresolvableImageIsPassedOver",
       {PKG, "{OUT}"},
       {{"{DIR}/gone.dmg", "", {"/Volumes/Setup"}}, setup},
       "",
       0,
       0,
       0,
       HEAD +
           "Parsing next image info \nmount-point: '/Volumes/Setup'\n"
           "Parsing next image info \nmount-point: '/Volumes/Setup'\n"
           "Loaded 2 image infos from plist\nSearching images...\n"
           "Checking image-path: {DIR}/gone.dmg\nFound matching mount-point\n"
           "Invalid image path, skipping to next image\n" +
           SETUP_FOUND + SUCCESS_TAIL,
       0,
       Output::profile,
       BOTH_CALLS},
      {"FirstReadableMatchEndsSearch",
       {PKG, "{OUT}"},
       {{"{DIR}/NoKoly.dmg", "{DIR}/NoKoly.dmg", {"/Volumes/Setup"}}, setup},
       "",
       0,
       0,
       0,
       HEAD + "Parsing next image info \nmount-point: '/Volumes/Setup'\n"
              "Parsing next image info \nmount-point: '/Volumes/Setup'\n"
              "Loaded 2 image infos from plist\nSearching images...\n"
              "Checking image-path: {DIR}/NoKoly.dmg\nFound matching mount-point\n"
              "Going to extract profile from '{DIR}/NoKoly.dmg' mounted at: '/Volumes/Setup'\n"
              "Extracting profile from DMG at '{DIR}/NoKoly.dmg'\n'koly' block not found\n"
              "Can't extract profile from DMG.\n",
       1,
       Output::untouched,
       BOTH_CALLS},
      {"DamagedLengthCreatesNoFile",
       {PKG, "{DIR}/new.out"},
       {{"{DIR}/Huge.dmg", "", {"/Volumes/Setup"}}},
       "",
       0,
       0,
       0,
       HEAD + ONE_IMAGE +
           "Checking image-path: {DIR}/Huge.dmg\nFound matching mount-point\n"
           "Going to extract profile from '{DIR}/Huge.dmg' mounted at: '/Volumes/Setup'\n"
           "Extracting profile from DMG at '{DIR}/Huge.dmg'\n"
           "Profile length 4294967295 exceeds the 100 bytes in front of its descriptor\n"
           "Can't extract profile from DMG.\n",
       1,
       Output::absent,
       BOTH_CALLS},
      {"TrailerWithoutRoomForDescriptor",
       {PKG, "{OUT}"},
       {{"{DIR}/Short.dmg", "", {"/Volumes/Setup"}}},
       "",
       0,
       0,
       0,
       HEAD + ONE_IMAGE +
           "Checking image-path: {DIR}/Short.dmg\nFound matching mount-point\n"
           "Going to extract profile from '{DIR}/Short.dmg' mounted at: '/Volumes/Setup'\n"
           "Extracting profile from DMG at '{DIR}/Short.dmg'\nEmbedded data not of type 'A'\n"
           "Can't extract profile from DMG.\n",
       1,
       Output::untouched,
       BOTH_CALLS},
      {"EmptyProfileGivesEmptyFile",
       {PKG, "{OUT}"},
       {{"{DIR}/Empty.dmg", "", {"/Volumes/Setup"}}},
       "",
       0,
       0,
       0,
       HEAD + ONE_IMAGE +
           "Checking image-path: {DIR}/Empty.dmg\nFound matching mount-point\n"
           "Going to extract profile from '{DIR}/Empty.dmg' mounted at: '/Volumes/Setup'\n"
           "Extracting profile from DMG at '{DIR}/Empty.dmg'\nProfile extracted to: {OUT}\n",
       0,
       Output::empty,
       BOTH_CALLS},
      {"OutputDirectoryMissing",
       {PKG, "{DIR}/missing/profile.out"},
       {setup},
       "",
       0,
       0,
       0,
       HEAD + ONE_IMAGE + SETUP_FOUND +
           "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
           "Extracting profile from DMG at '{DIR}/Setup.dmg'\nError writing output file\n",
       1,
       Output::untouched,
       BOTH_CALLS},
      {"OutputDeviceFull",
       {PKG, "/dev/full"},
       {setup},
       "",
       0,
       0,
       0,
       HEAD + ONE_IMAGE + SETUP_FOUND +
           "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
           "Extracting profile from DMG at '{DIR}/Setup.dmg'\nError writing output file\n",
       1,
       Output::untouched,
       BOTH_CALLS},
  };
}

// Failure messages name the row instead of dumping its bytes.
void PrintTo(const Case& row, std::ostream* os) {
  *os << row.name;
}

class EndToEnd : public ::testing::TestWithParam<Case> {};

TEST_P(EndToEnd, PrintsExitsAndWritesExactly) {
  const Case& c = GetParam();
  if (c.maxOpenFiles != 0 && std::getenv("BRACKWELL_SANITIZED") != nullptr) {
    // The sanitizers' runtime probes memory through a pipe of its own and
    // misreports when no descriptor is left; the unsanitized builds run this.
    GTEST_SKIP() << "needs an unsanitized binary";
  }
  TempDir dir;
  auto expand = [&](std::string text) {
    replaceAll(text, "{OUT}", dir.file("profile.out"));
    replaceAll(text, "{DIR}", dir.path());
    return text;
  };

  // The images the listings may name.
  testsupport::writeFile(dir.file("Setup.dmg"), testsupport::imageWithProfile(Bytes(4096, 0x5a), PROFILE));
  testsupport::writeFile(dir.file("Other.dmg"),
                         testsupport::imageWithProfile(Bytes(64, 1), toBytes("other")));
  testsupport::writeFile(dir.file("Empty.dmg"), testsupport::imageWithProfile(Bytes(64, 1), {}));
  testsupport::writeFile(dir.file("NoKoly.dmg"), Bytes(2048, 0));
  Bytes huge = testsupport::imageWithProfile(Bytes(100, 0), {});
  std::fill(huge.end() - 528, huge.end() - 524, 0xff); // length 4294967295
  testsupport::writeFile(dir.file("Huge.dmg"), huge);
  Bytes shortImage = testsupport::udifTrailer();
  shortImage.insert(shortImage.begin(), 10, 0x41); // 522 bytes: trailer, no descriptor
  testsupport::writeFile(dir.file("Short.dmg"), shortImage);
  testsupport::writeFile(dir.file("profile.out"), OLD_OUTPUT);

  std::vector<Attached> images = c.images;
  for (Attached& image : images) {
    image.path = expand(image.path);
    image.alias = expand(image.alias);
  }
  const std::string plist = c.plistOverride.empty() ? plistListing(images) : c.plistOverride;
  testsupport::writeFile(dir.file("info.txt"), textListing(images));
  testsupport::writeFile(dir.file("info.plist"), plist);

  ChildSetup setup;
  setup.env = {{"BRACKWELL_STANDIN_INFO", dir.file("info.txt")},
               {"BRACKWELL_STANDIN_PLIST", dir.file("info.plist")},
               {"BRACKWELL_STANDIN_INFO_STATUS", std::to_string(c.infoStatus)},
               {"BRACKWELL_STANDIN_PLIST_STATUS", std::to_string(c.plistStatus)},
               {"BRACKWELL_STANDIN_LOG", dir.file("calls.log")}};
  setup.maxOpenFiles = c.maxOpenFiles;
  std::vector<std::string> args;
  for (const std::string& arg : c.args) {
    args.push_back(expand(arg));
  }

  const RunResult run = runTool(args, setup);

  std::string expected = expand(c.expected);
  replaceAll(expected, "{ECHO}",
             "source hdiutil info plist --------------------------------------\n" + plist +
                 "\n-----------------------------------------------------------------\n");
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(run.exitCode, c.exitCode);

  // The utility's invocations, in order ("" when it never ran).
  struct stat st {};
  std::string calls;
  if (stat(dir.file("calls.log").c_str(), &st) == 0) {
    const Bytes logged = testsupport::readFile(dir.file("calls.log"));
    calls.assign(logged.begin(), logged.end());
  }
  EXPECT_EQ(calls, c.calls);

  const std::string outPath = dir.file("profile.out");
  switch (c.output) {
  case Output::profile:
    EXPECT_EQ(testsupport::readFile(outPath), PROFILE);
    break;
  case Output::empty:
    EXPECT_TRUE(testsupport::readFile(outPath).empty());
    break;
  case Output::untouched:
    EXPECT_EQ(testsupport::readFile(outPath), toBytes(OLD_OUTPUT));
    break;
  case Output::absent:
    EXPECT_NE(stat(dir.file("new.out").c_str(), &st), 0) << "an output file was created";
    EXPECT_EQ(testsupport::readFile(outPath), toBytes(OLD_OUTPUT));
    break;
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, EndToEnd, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& row) { return row.param.name; });

} // namespace
