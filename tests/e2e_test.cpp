// End-to-end runs of the real binary, built against the stand-in utility
// (tests/standin/hdiutil): the argument checks, both listings, the search
// and the output file. Each scene (tests/support/scene.h) states its setup,
// its arguments, the whole standard output, the exit status, what becomes of
// the output file and the utility's invocations, in that order. The lines
// every run with the default package path begins with are named once in
// scene.h (PATHS_PRINTED, PLIST_ECHOED, SEARCH_STARTED); a scene writes out
// what follows them.
#include <gtest/gtest.h>
#include <vector>

#include "support/scene.h"

using testsupport::OutputFile;
using testsupport::PATHS_PRINTED;
using testsupport::PKG;
using testsupport::PLIST_ECHOED;
using testsupport::Scene;
using testsupport::SEARCH_STARTED;

namespace {

// Unless a scene says otherwise: Setup.dmg (carrying PROFILE) is attached
// at /Volumes/Setup and listed with itself as alias, {OUT} holds OLD_OUTPUT,
// and the run is `brackwell /Volumes/Setup/Install.pkg {OUT}`.
std::vector<Scene> scenes() {
  return {
      Scene("FullRun")
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile)
          .calls("info\ninfo -plist\n"),
      Scene("NoArguments")
          .args({})
          .prints("Quorlane DMG profile extract tool\n"
                  "usage: brackwell <path_to_package> <output_path>\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls(""),
      Scene("OneArgument")
          .args({PKG})
          .prints("Quorlane DMG profile extract tool\n"
                  "usage: brackwell <path_to_package> <output_path>\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls(""),
      Scene("ExtraArgumentsIgnored")
          .args({PKG, "{OUT}", "--verbose", "x"})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile)
          .calls("info\ninfo -plist\n"),
      Scene("PathNotUnderVolumes")
          .args({"/Users/me/Install.pkg", "{OUT}"})
          .prints("Invalid volume/package path - /Users/me/Install.pkg, expected to match regular expression "
                  "- (/Volumes/.+)/(.+)\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls(""),
      Scene("PathWithoutPackage")
          .args({"/Volumes/Setup", "{OUT}"})
          .prints("Invalid volume/package path - /Volumes/Setup, expected to match regular expression - "
                  "(/Volumes/.+)/(.+)\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls(""),
      Scene("PathWithLineFeed")
          .args({"/Volumes/Setup/Install\n.pkg", "{OUT}"})
          .prints("Invalid volume/package path - /Volumes/Setup/Install\n"
                  ".pkg, expected to match regular expression - (/Volumes/.+)/(.+)\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls(""),
      Scene("TrailingSlashKeepsVolume")
          .args({"/Volumes/Setup/Install.pkg/", "{OUT}"})
          .prints("PACKAGE PATH: '/Volumes/Setup/Install.pkg/'\n"
                  "VOLUME PATH: '/Volumes/Setup'\n"
                  "source hdiutil info plist --------------------------------------\n"
                  "{PLIST}\n"
                  "-----------------------------------------------------------------\n"
                  "Parsing next image info \n"
                  "mount-point: '/Volumes/Setup'\n"
                  "Loaded 1 image infos from plist\n"
                  "Searching images...\n"
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile)
          .calls("info\ninfo -plist\n"),
      Scene("SubdirectoryIsTheVolume")
          .args({"/Volumes/Setup/sub/Install.pkg", "{OUT}"})
          .prints("PACKAGE PATH: '/Volumes/Setup/sub/Install.pkg'\n"
                  "VOLUME PATH: '/Volumes/Setup/sub'\n"
                  "source hdiutil info plist --------------------------------------\n"
                  "{PLIST}\n"
                  "-----------------------------------------------------------------\n"
                  "Parsing next image info \n"
                  "mount-point: '/Volumes/Setup'\n"
                  "Loaded 1 image infos from plist\n"
                  "Searching images...\n"
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "No matching mount-points found, continue with next image\n"
                  "No suitable image (DMG) found, profile is not extracted\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls("info\ninfo -plist\n"),
      Scene("TextListingFails")
          .env("BRACKWELL_STANDIN_INFO_STATUS", "1")
          .prints(PATHS_PRINTED + "Error, hdiutil command failed, with code: 256\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls("info\n"),
      Scene("TextListingPipeFails")
          .maxOpenFiles(4)
          .prints(PATHS_PRINTED + "Error, hdiutil command failed, with code: -1\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls(""),
      Scene("PlistListingFails")
          .env("BRACKWELL_STANDIN_PLIST_STATUS", "2")
          .prints(PATHS_PRINTED + "Error, hdiutil (plist) command failed, with code: 512\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls("info\ninfo -plist\n"),
      Scene("PlistUnparsable")
          .propertyList("<plist><dict>")
          .prints(PLIST_ECHOED + "Error: plist: cannot parse XML, invalid format?\n"
                                 "Error: unable to get images information from hdiutils plist output.")
          .exits(1)
          .output(OutputFile::untouched)
          .calls("info\ninfo -plist\n"),
      Scene("NothingAttached")
          .attached({})
          .prints(PLIST_ECHOED + "Loaded 0 image infos from plist\n"
                                 "Error: unable to get images information from hdiutils plist output.")
          .exits(1)
          .output(OutputFile::untouched)
          .calls("info\ninfo -plist\n"),
      Scene("SecondImageMatches")
          .attached({{"{DIR}/Other.dmg", "{DIR}/Other.dmg", {"/Volumes/Other"}},
                     {"{DIR}/Setup.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}}})
          .prints(PLIST_ECHOED +
                  "Parsing next image info \n"
                  "mount-point: '/Volumes/Other'\n"
                  "Parsing next image info \n"
                  "mount-point: '/Volumes/Setup'\n"
                  "Loaded 2 image infos from plist\n"
                  "Searching images...\n"
                  "Checking image-path: {DIR}/Other.dmg\n"
                  "No matching mount-points found, continue with next image\n"
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile)
          .calls("info\ninfo -plist\n"),
      Scene("ReadThroughAlias")
          .attached({{"{DIR}/var/Setup.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}}})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/var/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile)
          .calls("info\ninfo -plist\n"),
      Scene("NeitherFileNorAlias")
          .attached({{"{DIR}/gone.dmg", "", {"/Volumes/Setup"}}})
          .prints(SEARCH_STARTED + "Checking image-path: {DIR}/gone.dmg\n"
                                   "Found matching mount-point\n"
                                   "Invalid image path, skipping to next image\n"
                                   "No suitable image (DMG) found, profile is not extracted\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls("info\ninfo -plist\n"),
      Scene("UnresolvableImageIsPassedOver")
          .attached({{"{DIR}/gone.dmg", "", {"/Volumes/Setup"}},
                     {"{DIR}/Setup.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}}})
          .prints(PLIST_ECHOED +
                  "Parsing next image info \n"
                  "mount-point: '/Volumes/Setup'\n"
                  "Parsing next image info \n"
                  "mount-point: '/Volumes/Setup'\n"
                  "Loaded 2 image infos from plist\n"
                  "Searching images...\n"
                  "Checking image-path: {DIR}/gone.dmg\n"
                  "Found matching mount-point\n"
                  "Invalid image path, skipping to next image\n"
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile)
          .calls("info\ninfo -plist\n"),
      Scene("FirstReadableMatchEndsSearch")
          .attached({{"{DIR}/NoKoly.dmg", "{DIR}/NoKoly.dmg", {"/Volumes/Setup"}},
                     {"{DIR}/Setup.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}}})
          .prints(PLIST_ECHOED +
                  "Parsing next image info \n"
                  "mount-point: '/Volumes/Setup'\n"
                  "Parsing next image info \n"
                  "mount-point: '/Volumes/Setup'\n"
                  "Loaded 2 image infos from plist\n"
                  "Searching images...\n"
                  "Checking image-path: {DIR}/NoKoly.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/NoKoly.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/NoKoly.dmg'\n"
                  "'koly' block not found\n"
                  "Can't extract profile from DMG.\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls("info\ninfo -plist\n"),
      Scene("DamagedLengthCreatesNoFile")
          .attached({{"{DIR}/Huge.dmg", "", {"/Volumes/Setup"}}})
          .args({PKG, "{DIR}/new.out"})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Huge.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Huge.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Huge.dmg'\n"
                  "Profile length 4294967295 exceeds the 100 bytes in front of its descriptor\n"
                  "Can't extract profile from DMG.\n")
          .exits(1)
          .output(OutputFile::absent)
          .calls("info\ninfo -plist\n"),
      Scene("TrailerWithoutRoomForDescriptor")
          .attached({{"{DIR}/Short.dmg", "", {"/Volumes/Setup"}}})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Short.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Short.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Short.dmg'\n"
                  "Embedded data not of type 'A'\n"
                  "Can't extract profile from DMG.\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls("info\ninfo -plist\n"),
      Scene("EmptyProfileGivesEmptyFile")
          .attached({{"{DIR}/Empty.dmg", "", {"/Volumes/Setup"}}})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Empty.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Empty.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Empty.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::empty)
          .calls("info\ninfo -plist\n"),
      Scene("OutputDirectoryMissing")
          .args({PKG, "{DIR}/missing/profile.out"})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Error writing output file\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls("info\ninfo -plist\n"),
      Scene("OutputDeviceFull")
          .args({PKG, "/dev/full"})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Error writing output file\n")
          .exits(1)
          .output(OutputFile::untouched)
          .calls("info\ninfo -plist\n"),
  };
}

class EndToEnd : public ::testing::TestWithParam<Scene> {};

TEST_P(EndToEnd, PrintsExitsAndWritesExactly) {
  GetParam().run();
}

INSTANTIATE_TEST_SUITE_P(Runs, EndToEnd, ::testing::ValuesIn(scenes()),
                         [](const ::testing::TestParamInfo<Scene>& row) { return row.param.name(); });

} // namespace
