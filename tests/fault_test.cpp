// Faults injected end to end: the stand-in utility dying, failing half-way,
// printing garbage, nothing or a 100 MB property list; the image file cut
// short, past 4 GiB, a directory, unreadable or a FIFO; the output path a
// directory, read-only, a full device or file system, or a dangling symbolic
// link; standard output closed or without a reader. Each row is a scene
// (tests/support/scene.h) that states its setup, the whole standard output of
// the real binary (after the lines named once in scene.h that most runs begin
// with), its exit status and what became of the output path: a run
// that fails never reports success, and one that fails before writing leaves
// an existing output file alone.
#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/scene.h"

using testsupport::Attached;
using testsupport::Bytes;
using testsupport::exists;
using testsupport::OutputFile;
using testsupport::PATHS_PRINTED;
using testsupport::PKG;
using testsupport::PLIST_ECHOED;
using testsupport::plistListing;
using testsupport::PROFILE;
using testsupport::readFile;
using testsupport::Scene;
using testsupport::SEARCH_STARTED;
using testsupport::Stage;
using testsupport::StandardOutput;
using testsupport::textListing;
using testsupport::writeFile;

namespace {

// A listing cut at half its length, as a utility that dies mid-way leaves it.
std::string firstHalf(const std::string& text) {
  return text.substr(0, text.size() / 2);
}

// Makes the scene's directory reachable by NOBODY and `names` in it writable
// by everyone, so that only the permission a row takes away stands in the way.
void openUp(const Stage& stage, const std::vector<std::string>& names) {
  chmod(stage.dir.path().c_str(), 0755);
  for (const std::string& name : names) {
    chmod(stage.file(name).c_str(), 0666);
  }
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Padding for the 100 MB property list: one comment in front of the images,
// so that the whole of it passes through the capture, the echo and the
// parser before the image that matters is reached.
constexpr std::size_t HUGE_LISTING_BYTES = 100u << 20;

std::string hugePlist(const std::vector<Attached>& images) {
  std::string plist = plistListing(images);
  std::string lines;
  for (int i = 0; i < 1024; ++i) {
    lines += std::string(79, 'x') + "\n";
  }
  std::string padding = "\t<!-- ";
  padding.reserve(HUGE_LISTING_BYTES);
  while (padding.size() + lines.size() + plist.size() < HUGE_LISTING_BYTES) {
    padding += lines;
  }
  padding += " -->\n";
  plist.insert(plist.find("\t<key>images</key>"), padding);
  return plist;
}

// A PNG header and more binary bytes, zero bytes among them.
const char BINARY_GARBAGE[] = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\x01\0\n\xff\xfe\0garbage\n";

// Unless a scene says otherwise: Setup.dmg (carrying PROFILE) is attached
// at /Volumes/Setup and listed with itself as alias, {OUT} holds OLD_OUTPUT,
// and the run is `brackwell /Volumes/Setup/Install.pkg {OUT}`.
std::vector<Scene> faults() {
  return {
      // The utility killed by a signal. Debian's /bin/sh reports a child
      // killed by signal N as its own exit status 128 + N, which the run shows
      // raw (137 << 8); a shell that runs the utility in place (bash, macOS's
      // /bin/sh) passes the signal itself on.
      Scene("TextListingUtilityKilled")
          .arrange([](Stage& s) { s.info = firstHalf(textListing(s.images)); })
          .env("BRACKWELL_STANDIN_INFO_SIGNAL", "KILL")
          .prints(PATHS_PRINTED + "Error, hdiutil command failed, with code: 35072\n")
          .exits(1)
          .output(OutputFile::untouched),
      Scene("TextListingUtilityAndShellKilled")
          .arrange([](Stage& s) { s.info = firstHalf(textListing(s.images)); })
          .env("BRACKWELL_STANDIN_INFO_SIGNAL", "KILL")
          .env("BRACKWELL_STANDIN_SIGNAL_SHELL", "1")
          .prints(PATHS_PRINTED + "Error, hdiutil command failed, with code: 9\n")
          .exits(1)
          .output(OutputFile::untouched),
      Scene("PlistUtilityTerminatedAfterPrintingAll")
          .env("BRACKWELL_STANDIN_PLIST_SIGNAL", "TERM")
          .prints(PATHS_PRINTED + "Error, hdiutil (plist) command failed, with code: 36608\n")
          .exits(1)
          .output(OutputFile::untouched),
      // Exiting non-zero after printing half a listing: the status wins over
      // whatever was printed.
      Scene("TextListingHalfPrintedThenExit1")
          .arrange([](Stage& s) { s.info = firstHalf(textListing(s.images)); })
          .env("BRACKWELL_STANDIN_INFO_STATUS", "1")
          .prints(PATHS_PRINTED + "Error, hdiutil command failed, with code: 256\n")
          .exits(1)
          .output(OutputFile::untouched),
      Scene("PlistHalfPrintedThenExit3")
          .arrange([](Stage& s) { s.plist = firstHalf(plistListing(s.images)); })
          .env("BRACKWELL_STANDIN_PLIST_STATUS", "3")
          .prints(PATHS_PRINTED + "Error, hdiutil (plist) command failed, with code: 768\n")
          .exits(1)
          .output(OutputFile::untouched),
      // Cut short but exiting 0: what is missing is not guessed.
      Scene("PlistCutShortExit0")
          .arrange([](Stage& s) { s.plist = firstHalf(plistListing(s.images)); })
          .prints(PLIST_ECHOED + "Error: plist: cannot parse XML, invalid format?\n"
                                 "Error: unable to get images information from hdiutils plist output.")
          .exits(1)
          .output(OutputFile::untouched),
      Scene("TextListingCutBeforeAlias")
          .attached({{"{DIR}/var/Setup.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}}})
          .arrange([](Stage& s) {
            const std::string info = textListing(s.images);
            s.info = info.substr(0, info.find("image-alias"));
          })
          .prints(SEARCH_STARTED + "Checking image-path: {DIR}/var/Setup.dmg\n"
                                   "Found matching mount-point\n"
                                   "Invalid image path, skipping to next image\n"
                                   "No suitable image (DMG) found, profile is not extracted\n")
          .exits(1)
          .output(OutputFile::untouched),
      // Binary garbage. The capture keeps each line up to its first zero
      // byte: "\x89PNG\r\n" and "\x1a\n" survive, the rest of the header
      // starts with a zero byte and its line is lost.
      Scene("PlistBinaryGarbage")
          .propertyList(std::string(BINARY_GARBAGE, sizeof BINARY_GARBAGE - 1))
          .prints(PLIST_ECHOED + "Error: plist: cannot parse XML, invalid format?\n"
                                 "Error: unable to get images information from hdiutils plist output.")
          // The capture keeps each line up to its first zero byte.
          .echoing("\x89PNG\r\n\x1a\n\xff\xfe")
          .exits(1)
          .output(OutputFile::untouched),
      Scene("TextListingBinaryGarbageIsPassedOver")
          .arrange([](Stage& s) {
            std::mt19937 random(20240611);
            std::string garbage(64 << 10, '\0');
            for (char& c : garbage) {
              c = static_cast<char>(random() & 0xff);
            }
            s.info = garbage;
          })
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile),
      // A 100 MB property list is read whole: the image after the padding is
      // found and read.
      Scene("Plist100MB")
          .arrange([](Stage& s) { s.plist = hugePlist(s.images); })
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile),
      // Printing nothing.
      Scene("PlistPrintsNothing")
          .propertyList("")
          .prints(PLIST_ECHOED + "Error: plist: cannot parse XML, invalid format?\n"
                                 "Error: unable to get images information from hdiutils plist output.")
          .exits(1)
          .output(OutputFile::untouched),
      Scene("TextListingPrintsNothingSoNoAlias")
          .attached({{"{DIR}/var/Setup.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}}})
          .textListing("")
          .prints(SEARCH_STARTED + "Checking image-path: {DIR}/var/Setup.dmg\n"
                                   "Found matching mount-point\n"
                                   "Invalid image path, skipping to next image\n"
                                   "No suitable image (DMG) found, profile is not extracted\n")
          .exits(1)
          .output(OutputFile::untouched),
      // The image file.
      Scene("ImageTruncated")
          .arrange([](Stage& s) {
            Bytes image = readFile(s.file("Setup.dmg"));
            image.resize(image.size() - 300); // inside the trailer
            writeFile(s.file("Setup.dmg"), image);
          })
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "'koly' block not found\n"
                  "Can't extract profile from DMG.\n")
          .exits(1)
          .output(OutputFile::untouched),
      Scene("ImageEmpty")
          .arrange([](Stage& s) { writeFile(s.file("Setup.dmg"), Bytes()); })
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "'koly' block not found\n"
                  "Can't extract profile from DMG.\n")
          .exits(1)
          .output(OutputFile::untouched),
      // Offsets past 4 GiB: the profile sits at the end of a sparse 5 GiB
      // image, of which only the end is read.
      Scene("ImageLargerThan4GiB")
          .arrange([](Stage& s) {
            const Bytes end = testsupport::stamped({}, PROFILE);
            const int fd = open(s.file("Setup.dmg").c_str(), O_WRONLY | O_TRUNC);
            ASSERT_EQ(pwrite(fd, end.data(), end.size(), off_t{5} << 30), static_cast<ssize_t>(end.size()));
            close(fd);
          })
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile),
      Scene("ImageIsDirectoryReachedThroughAlias")
          .attached({{"{DIR}/var/Setup.dmg", "{DIR}/Dir.dmg", {"/Volumes/Setup"}}})
          .arrange([](Stage& s) { mkdir(s.file("Dir.dmg").c_str(), 0755); })
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/var/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Dir.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Dir.dmg'\n"
                  "'koly' block not found\n"
                  "Can't extract profile from DMG.\n")
          .exits(1)
          .output(OutputFile::untouched),
      Scene("ImagePathIsDirectoryAliasIsRead")
          .attached({{"{DIR}/Dir.dmg", "{DIR}/Setup.dmg", {"/Volumes/Setup"}}})
          .arrange([](Stage& s) { mkdir(s.file("Dir.dmg").c_str(), 0755); })
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Dir.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile),
      Scene("ImageUnreadable")
          .arrange([](Stage& s) {
            openUp(s, {"profile.out", "calls.log"});
            chmod(s.file("Setup.dmg").c_str(), 0);
          })
          .unprivileged()
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "'koly' block not found\n"
                  "Can't extract profile from DMG.\n")
          .exits(1)
          .output(OutputFile::untouched),
      // A FIFO is not a regular file, so only an alias leads to it; opened
      // without waiting for a writer, it has no end to find a trailer at.
      Scene("ImageIsFifoReachedThroughAlias")
          .attached({{"{DIR}/var/Setup.dmg", "{DIR}/Setup.fifo", {"/Volumes/Setup"}}})
          .arrange([](Stage& s) { mkfifo(s.file("Setup.fifo").c_str(), 0644); })
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/var/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.fifo' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.fifo'\n"
                  "'koly' block not found\n"
                  "Can't extract profile from DMG.\n")
          .exits(1)
          .output(OutputFile::untouched),
      // The output path.
      Scene("OutputIsDirectory")
          .arrange([](Stage& s) { mkdir(s.file("out").c_str(), 0755); })
          .args({PKG, "{DIR}/out"})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Error writing output file\n")
          .exits(1)
          .output(OutputFile::untouched)
          .verify([](const Stage& s) { EXPECT_TRUE(isDirectory(s.file("out"))); }),
      Scene("OutputReadOnly")
          .arrange([](Stage& s) {
            openUp(s, {"calls.log"});
            chmod(s.file("profile.out").c_str(), 0444);
          })
          .unprivileged()
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Error writing output file\n")
          .exits(1)
          .output(OutputFile::untouched),
      Scene("OutputInReadOnlyDirectory")
          .arrange([](Stage& s) {
            openUp(s, {"calls.log"});
            mkdir(s.file("locked").c_str(), 0555);
          })
          .unprivileged()
          .args({PKG, "{DIR}/locked/profile.out"})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Error writing output file\n")
          .exits(1)
          .output(OutputFile::untouched)
          .verify([](const Stage& s) { EXPECT_FALSE(exists(s.file("locked/profile.out"))); }),
      // A full device takes no byte (e2e_test's OutputDeviceFull); an empty
      // profile asks it for none, so that run does succeed.
      Scene("EmptyProfileToFullDevice")
          .arrange([](Stage& s) { writeFile(s.file("Setup.dmg"), testsupport::stamped(Bytes(64, 1), {})); })
          .args({PKG, "/dev/full"})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: /dev/full\n")
          .exits(0)
          .output(OutputFile::untouched),
      // A file system that fills up (or a quota) part-way through the write:
      // the run fails, and the file keeps the part that was written.
      Scene("OutputFileSystemFullPartWay")
          .maxFileSize(20)
          .args({PKG, "{DIR}/new.out"})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Error writing output file\n")
          .exits(1)
          .output(OutputFile::untouched)
          .verify([](const Stage& s) {
            EXPECT_EQ(readFile(s.file("new.out")), Bytes(PROFILE.begin(), PROFILE.begin() + 20));
          }),
      // Like a shell redirection, the write follows a dangling link and
      // creates the file it names; the link stays a link.
      Scene("OutputDanglingSymlinkCreatesTarget")
          .arrange([](Stage& s) { symlink(s.file("target.out").c_str(), s.file("link.out").c_str()); })
          .args({PKG, "{DIR}/link.out"})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {DIR}/link.out\n")
          .exits(0)
          .output(OutputFile::untouched)
          .verify([](const Stage& s) {
            struct stat st {};
            EXPECT_TRUE(lstat(s.file("link.out").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
            EXPECT_EQ(readFile(s.file("target.out")), PROFILE);
          }),
      Scene("OutputDanglingSymlinkIntoMissingDirectory")
          .arrange(
              [](Stage& s) { symlink(s.file("missing/target.out").c_str(), s.file("link.out").c_str()); })
          .args({PKG, "{DIR}/link.out"})
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Error writing output file\n")
          .exits(1)
          .output(OutputFile::untouched)
          .verify([](const Stage& s) { EXPECT_FALSE(exists(s.file("missing"))); }),
      // Started with SIGCHLD ignored (inherited through exec from a parent
      // that does not wait for its children), the utility's children would
      // be reaped by the system and their exit status lost: every run would
      // fail with -1 although the utility succeeded.
      Scene("StartedWithChildSignalIgnored")
          .childSignalIgnored()
          .prints(SEARCH_STARTED +
                  "Checking image-path: {DIR}/Setup.dmg\n"
                  "Found matching mount-point\n"
                  "Going to extract profile from '{DIR}/Setup.dmg' mounted at: '/Volumes/Setup'\n"
                  "Extracting profile from DMG at '{DIR}/Setup.dmg'\n"
                  "Profile extracted to: {OUT}\n")
          .exits(0)
          .output(OutputFile::profile),
      // Standard output. Closed, its descriptor number is free for the files
      // the run opens; nothing printed may end up in them.
      Scene("StandardOutputClosed")
          .standardOutput(StandardOutput::closed)
          .printsNothingObservable("descriptor 1 is closed: what the run prints goes nowhere the test can "
                                   "read, so only the files show that nothing landed in them")
          .exits(0)
          .output(OutputFile::profile),
      // A reader that went away ends the run at its first line, by SIGPIPE
      // (exit code 128 + 13), before anything is read or written.
      Scene("StandardOutputReaderGone")
          .standardOutput(StandardOutput::readerGone)
          .printsNothingObservable("the pipe has no reader from the start: the first line ends the run by "
                                   "SIGPIPE, and nothing printed can be read")
          .exits(141)
          .output(OutputFile::untouched)
          .calls(""), // the utility never started
  };
}

class Faults : public ::testing::TestWithParam<Scene> {};

TEST_P(Faults, FailHonestly) {
  GetParam().run();
}

INSTANTIATE_TEST_SUITE_P(Injected, Faults, ::testing::ValuesIn(faults()),
                         [](const ::testing::TestParamInfo<Scene>& row) { return row.param.name(); });

} // namespace
