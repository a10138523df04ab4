// Faults injected end to end: the stand-in utility dying, failing half-way,
// printing garbage, nothing or a 100 MB property list; the image file cut
// short, past 4 GiB, a directory, unreadable or a FIFO; the output path a
// directory, read-only, a full device or file system, or a dangling symbolic
// link; standard output closed or without a reader. Each row pins the exact
// output and exit status of the real binary and what became of the output
// path: a run that fails never reports success, and one that fails before
// writing leaves an existing output file alone.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/listings.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::Attached;
using testsupport::Bytes;
using testsupport::ChildSetup;
using testsupport::plistListing;
using testsupport::readFile;
using testsupport::replaceAll;
using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::textListing;
using testsupport::toBytes;
using testsupport::writeFile;

namespace {

const Bytes PROFILE = toBytes(std::string("customer=Acme Corp\nseat-key=\x01\x02\x00\xff\n", 34));
const std::string OLD_OUTPUT = "previous contents\n";
const std::string PKG = "/Volumes/Setup/Install.pkg";

// What a row's run works on. The arrangement of a row starts from a single
// attached image, {DIR}/Setup.dmg carrying PROFILE, mounted at /Volumes/Setup
// and listed with itself as alias, and an output file {OUT} holding
// OLD_OUTPUT; it then breaks one thing.
struct Scene {
  const TempDir& dir;
  std::vector<Attached> images;
  std::optional<std::string> info = {};  // the text listing printed instead of textListing(images)
  std::optional<std::string> plist = {}; // the property list printed instead of plistListing(images)
  std::optional<std::string> echo = {};  // what the run captures of the property list, when not all of it
  std::vector<std::pair<std::string, std::string>> env = {}; // more stand-in settings
  std::string output = "{OUT}";
  bool unprivileged = false; // as root, run the tool as NOBODY so that permissions count
  rlim_t maxFileSize = 0;    // see ChildSetup
  testsupport::StandardOutput standardOutput = testsupport::StandardOutput::captured;
  bool ignoreChildSignal = false; // see ChildSetup

  std::string file(const std::string& name) const { return dir.file(name); }
};

struct Fault {
  std::string name;
  std::function<void(Scene&)> arrange;
  std::string expected; // standard output; {DIR}, {OUT}, {ECHO}: the echoed property list
  int exitCode;
  bool profileWritten; // {OUT} holds PROFILE; otherwise it still holds OLD_OUTPUT
  std::function<void(const Scene&)> verify = nullptr; // what else must hold afterwards
};

const std::string HEAD = "PACKAGE PATH: '/Volumes/Setup/Install.pkg'\nVOLUME PATH: '/Volumes/Setup'\n";
const std::string ECHOED = HEAD + "{ECHO}";
const std::string ONE_IMAGE = "Parsing next image info \nmount-point: '/Volumes/Setup'\n"
                              "Loaded 1 image infos from plist\nSearching images...\n";
const std::string UNPARSABLE = "Error: plist: cannot parse XML, invalid format?\n"
                               "Error: unable to get images information from hdiutils plist output.";

// The run up to the reader, for an image listed as `listed` and read at `read`.
std::string reaching(const std::string& listed, const std::string& read) {
  return ECHOED + ONE_IMAGE + "Checking image-path: " + listed + "\nFound matching mount-point\n" +
         "Going to extract profile from '" + read + "' mounted at: '/Volumes/Setup'\n" +
         "Extracting profile from DMG at '" + read + "'\n";
}

const std::string SETUP_READ = reaching("{DIR}/Setup.dmg", "{DIR}/Setup.dmg");
const std::string NOT_EXTRACTED = "'koly' block not found\nCan't extract profile from DMG.\n";

// A listing cut at half its length, as a utility that dies mid-way leaves it.
std::string firstHalf(const std::string& text) {
  return text.substr(0, text.size() / 2);
}

// Makes the scene's directory reachable by NOBODY and `names` in it writable
// by everyone, so that only the permission a row takes away stands in the way.
void openUp(const Scene& scene, const std::vector<std::string>& names) {
  chmod(scene.dir.path().c_str(), 0755);
  for (const std::string& name : names) {
    chmod(scene.file(name).c_str(), 0666);
  }
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
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

std::vector<Fault> faults() {
  return {
      // The utility killed by a signal. Debian's /bin/sh reports a child
      // killed by signal N as its own exit status 128 + N, which the run shows
      // raw (137 << 8); a shell that runs the utility in place (bash, macOS's
      // /bin/sh) passes the signal itself on.
      {"TextListingUtilityKilled",
       [](Scene& s) {
         s.info = firstHalf(textListing(s.images));
         s.env = {{"BRACKWELL_STANDIN_INFO_SIGNAL", "KILL"}};
       },
       HEAD + "Error, hdiutil command failed, with code: 35072\n", 1, false},
      {"TextListingUtilityAndShellKilled",
       [](Scene& s) {
         s.info = firstHalf(textListing(s.images));
         s.env = {{"BRACKWELL_STANDIN_INFO_SIGNAL", "KILL"}, {"BRACKWELL_STANDIN_SIGNAL_SHELL", "1"}};
       },
       HEAD + "Error, hdiutil command failed, with code: 9\n", 1, false},
      {"PlistUtilityTerminatedAfterPrintingAll",
       [](Scene& s) {
         s.env = {{"BRACKWELL_STANDIN_PLIST_SIGNAL", "TERM"}};
       },
       HEAD + "Error, hdiutil (plist) command failed, with code: 36608\n", 1, false},

      // Exiting non-zero after printing half a listing: the status wins over
      // whatever was printed.
      {"TextListingHalfPrintedThenExit1",
       [](Scene& s) {
         s.info = firstHalf(textListing(s.images));
         s.env = {{"BRACKWELL_STANDIN_INFO_STATUS", "1"}};
       },
       HEAD + "Error, hdiutil command failed, with code: 256\n", 1, false},
      {"PlistHalfPrintedThenExit3",
       [](Scene& s) {
         s.plist = firstHalf(plistListing(s.images));
         s.env = {{"BRACKWELL_STANDIN_PLIST_STATUS", "3"}};
       },
       HEAD + "Error, hdiutil (plist) command failed, with code: 768\n", 1, false},

      // Cut short but exiting 0: what is missing is not guessed.
      {"PlistCutShortExit0", [](Scene& s) { s.plist = firstHalf(plistListing(s.images)); },
       ECHOED + UNPARSABLE, 1, false},
      {"TextListingCutBeforeAlias",
       [](Scene& s) {
         s.images = {{s.file("var/Setup.dmg"), s.file("Setup.dmg"), {"/Volumes/Setup"}}};
         const std::string info = textListing(s.images);
         s.info = info.substr(0, info.find("image-alias"));
       },
       ECHOED + ONE_IMAGE +
           "Checking image-path: {DIR}/var/Setup.dmg\nFound matching mount-point\n"
           "Invalid image path, skipping to next image\n"
           "No suitable image (DMG) found, profile is not extracted\n",
       1, false},

      // Binary garbage. The capture keeps each line up to its first zero
      // byte: "\x89PNG\r\n" and "\x1a\n" survive, the rest of the header
      // starts with a zero byte and its line is lost.
      {"PlistBinaryGarbage",
       [](Scene& s) {
         static const char garbage[] = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\x01\0\n\xff\xfe\0garbage\n";
         s.plist = std::string(garbage, sizeof garbage - 1);
         s.echo = "\x89PNG\r\n\x1a\n\xff\xfe";
       },
       ECHOED + UNPARSABLE, 1, false},
      {"TextListingBinaryGarbageIsPassedOver",
       [](Scene& s) {
         std::mt19937 random(20240611);
         std::string garbage(64 << 10, '\0');
         for (char& c : garbage) {
           c = static_cast<char>(random() & 0xff);
         }
         s.info = garbage;
       },
       SETUP_READ + "Profile extracted to: {OUT}\n", 0, true},

      // A 100 MB property list is read whole: the image after the padding is
      // found and read.
      {"Plist100MB", [](Scene& s) { s.plist = hugePlist(s.images); },
       SETUP_READ + "Profile extracted to: {OUT}\n", 0, true},

      // Printing nothing.
      {"PlistPrintsNothing", [](Scene& s) { s.plist = ""; }, ECHOED + UNPARSABLE, 1, false},
      {"TextListingPrintsNothingSoNoAlias",
       [](Scene& s) {
         s.images = {{s.file("var/Setup.dmg"), s.file("Setup.dmg"), {"/Volumes/Setup"}}};
         s.info = "";
       },
       ECHOED + ONE_IMAGE +
           "Checking image-path: {DIR}/var/Setup.dmg\nFound matching mount-point\n"
           "Invalid image path, skipping to next image\n"
           "No suitable image (DMG) found, profile is not extracted\n",
       1, false},

      // The image file.
      {"ImageTruncated",
       [](Scene& s) {
         Bytes image = readFile(s.file("Setup.dmg"));
         image.resize(image.size() - 300); // inside the trailer
         writeFile(s.file("Setup.dmg"), image);
       },
       SETUP_READ + NOT_EXTRACTED, 1, false},
      {"ImageEmpty", [](Scene& s) { writeFile(s.file("Setup.dmg"), Bytes()); }, SETUP_READ + NOT_EXTRACTED, 1,
       false},
      // Offsets past 4 GiB: the profile sits at the end of a sparse 5 GiB
      // image, of which only the end is read.
      {"ImageLargerThan4GiB",
       [](Scene& s) {
         const Bytes end = testsupport::imageWithProfile({}, PROFILE);
         const int fd = open(s.file("Setup.dmg").c_str(), O_WRONLY | O_TRUNC);
         ASSERT_EQ(pwrite(fd, end.data(), end.size(), off_t{5} << 30), static_cast<ssize_t>(end.size()));
         close(fd);
       },
       SETUP_READ + "Profile extracted to: {OUT}\n", 0, true},
      {"ImageIsDirectoryReachedThroughAlias",
       [](Scene& s) {
         mkdir(s.file("Dir.dmg").c_str(), 0755);
         s.images = {{s.file("var/Setup.dmg"), s.file("Dir.dmg"), {"/Volumes/Setup"}}};
       },
       reaching("{DIR}/var/Setup.dmg", "{DIR}/Dir.dmg") + NOT_EXTRACTED, 1, false},
      {"ImagePathIsDirectoryAliasIsRead",
       [](Scene& s) {
         mkdir(s.file("Dir.dmg").c_str(), 0755);
         s.images = {{s.file("Dir.dmg"), s.file("Setup.dmg"), {"/Volumes/Setup"}}};
       },
       reaching("{DIR}/Dir.dmg", "{DIR}/Setup.dmg") + "Profile extracted to: {OUT}\n", 0, true},
      {"ImageUnreadable",
       [](Scene& s) {
         openUp(s, {"profile.out", "calls.log"});
         chmod(s.file("Setup.dmg").c_str(), 0);
         s.unprivileged = true;
       },
       SETUP_READ + NOT_EXTRACTED, 1, false},
      // A FIFO is not a regular file, so only an alias leads to it; opened
      // without waiting for a writer, it has no end to find a trailer at.
      {"ImageIsFifoReachedThroughAlias",
       [](Scene& s) {
         mkfifo(s.file("Setup.fifo").c_str(), 0644);
         s.images = {{s.file("var/Setup.dmg"), s.file("Setup.fifo"), {"/Volumes/Setup"}}};
       },
       reaching("{DIR}/var/Setup.dmg", "{DIR}/Setup.fifo") + NOT_EXTRACTED, 1, false},

      // The output path.
      {"OutputIsDirectory",
       [](Scene& s) {
         mkdir(s.file("out").c_str(), 0755);
         s.output = "{DIR}/out";
       },
       SETUP_READ + "Error writing output file\n", 1, false,
       [](const Scene& s) { EXPECT_TRUE(isDirectory(s.file("out"))); }},
      {"OutputReadOnly",
       [](Scene& s) {
         openUp(s, {"calls.log"});
         chmod(s.file("profile.out").c_str(), 0444);
         s.unprivileged = true;
       },
       SETUP_READ + "Error writing output file\n", 1, false},
      {"OutputInReadOnlyDirectory",
       [](Scene& s) {
         openUp(s, {"calls.log"});
         mkdir(s.file("locked").c_str(), 0555);
         s.output = "{DIR}/locked/profile.out";
         s.unprivileged = true;
       },
       SETUP_READ + "Error writing output file\n", 1, false,
       [](const Scene& s) { EXPECT_FALSE(exists(s.file("locked/profile.out"))); }},
      // A full device takes no byte (e2e_test's OutputDeviceFull); an empty
      // profile asks it for none, so that run does succeed.
      {"EmptyProfileToFullDevice",
       [](Scene& s) {
         writeFile(s.file("Setup.dmg"), testsupport::imageWithProfile(Bytes(64, 1), {}));
         s.output = "/dev/full";
       },
       SETUP_READ + "Profile extracted to: /dev/full\n", 0, false},
      // A file system that fills up (or a quota) part-way through the write:
      // the run fails, and the file keeps the part that was written.
      {"OutputFileSystemFullPartWay",
       [](Scene& s) {
         s.output = "{DIR}/new.out";
         s.maxFileSize = 20;
       },
       SETUP_READ + "Error writing output file\n", 1, false,
       [](const Scene& s) {
         EXPECT_EQ(readFile(s.file("new.out")), Bytes(PROFILE.begin(), PROFILE.begin() + 20));
       }},
      // Like a shell redirection, the write follows a dangling link and
      // creates the file it names; the link stays a link.
      {"OutputDanglingSymlinkCreatesTarget",
       [](Scene& s) {
         symlink(s.file("target.out").c_str(), s.file("link.out").c_str());
         s.output = "{DIR}/link.out";
       },
       SETUP_READ + "Profile extracted to: {DIR}/link.out\n", 0, false,
       [](const Scene& s) {
         struct stat st {};
         EXPECT_TRUE(lstat(s.file("link.out").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
         EXPECT_EQ(readFile(s.file("target.out")), PROFILE);
       }},
      {"OutputDanglingSymlinkIntoMissingDirectory",
       [](Scene& s) {
         symlink(s.file("missing/target.out").c_str(), s.file("link.out").c_str());
         s.output = "{DIR}/link.out";
       },
       SETUP_READ + "Error writing output file\n", 1, false,
       [](const Scene& s) { EXPECT_FALSE(exists(s.file("missing"))); }},

      // Started with SIGCHLD ignored (inherited through exec from a parent
      // that does not wait for its children), the utility's children would
      // be reaped by the system and their exit status lost: every run would
      // fail with -1 although the utility succeeded.
      {"StartedWithChildSignalIgnored", [](Scene& s) { s.ignoreChildSignal = true; },
       SETUP_READ + "Profile extracted to: {OUT}\n", 0, true},

      // Standard output. Closed, its descriptor number is free for the files
      // the run opens; nothing printed may end up in them.
      {"StandardOutputClosed", [](Scene& s) { s.standardOutput = testsupport::StandardOutput::closed; }, "",
       0, true},
      // A reader that went away ends the run at its first line, by SIGPIPE
      // (exit code 128 + 13), before anything is read or written.
      {"StandardOutputReaderGone",
       [](Scene& s) { s.standardOutput = testsupport::StandardOutput::readerGone; }, "", 141, false,
       [](const Scene& s) {
         EXPECT_EQ(readFile(s.file("calls.log")), Bytes()) << "the utility was started";
       }},
  };
}

void PrintTo(const Fault& row, std::ostream* os) {
  *os << row.name;
}

// EXPECT_EQ on two 100 MB texts would print both; this names the first
// difference instead.
void expectSameText(const std::string& actual, const std::string& expected) {
  if (actual.size() < 65536 && expected.size() < 65536) {
    EXPECT_EQ(actual, expected);
    return;
  }
  if (actual != expected) {
    const std::size_t at = static_cast<std::size_t>(
        std::mismatch(actual.begin(),
                      actual.begin() + static_cast<std::ptrdiff_t>(std::min(actual.size(), expected.size())),
                      expected.begin())
            .first -
        actual.begin());
    ADD_FAILURE() << "standard output differs at byte " << at << " of " << actual.size() << " (expected "
                  << expected.size() << "): '" << actual.substr(at, 200) << "' instead of '"
                  << expected.substr(at, 200) << "'";
  }
}

class Faults : public ::testing::TestWithParam<Fault> {};

TEST_P(Faults, FailHonestly) {
  const Fault& row = GetParam();
  TempDir dir;
  writeFile(dir.file("Setup.dmg"), testsupport::imageWithProfile(Bytes(4096, 0x5a), PROFILE));
  writeFile(dir.file("profile.out"), OLD_OUTPUT);
  writeFile(dir.file("calls.log"), std::string());
  Scene scene{dir, {{dir.file("Setup.dmg"), dir.file("Setup.dmg"), {"/Volumes/Setup"}}}};
  row.arrange(scene);

  ChildSetup setup;
  setup.maxFileSize = scene.maxFileSize;
  setup.standardOutput = scene.standardOutput;
  setup.ignoreChildSignal = scene.ignoreChildSignal;
  // Every row ends well within this, also under the sanitizers; a run that
  // blocks (on a FIFO, say) is killed instead of hanging the suite.
  setup.timeoutSeconds = 120;
  if (scene.unprivileged && geteuid() == 0) {
    const char* bin = std::getenv("BRACKWELL_BIN");
    if (bin == nullptr || !testsupport::canRunAs(testsupport::NOBODY, bin, BRACKWELL_STANDIN)) {
      GTEST_SKIP() << "permissions do not stop root, and uid 65534 cannot run the build here";
    }
    setup.runAs = testsupport::NOBODY;
  }

  const std::string plist = scene.plist ? std::move(*scene.plist) : plistListing(scene.images);
  writeFile(dir.file("info.txt"), scene.info ? *scene.info : textListing(scene.images));
  writeFile(dir.file("info.plist"), plist);
  setup.env = {{"BRACKWELL_STANDIN_INFO", dir.file("info.txt")},
               {"BRACKWELL_STANDIN_PLIST", dir.file("info.plist")},
               {"BRACKWELL_STANDIN_LOG", dir.file("calls.log")}};
  setup.env.insert(setup.env.end(), scene.env.begin(), scene.env.end());
  auto expand = [&](std::string text) {
    replaceAll(text, "{OUT}", dir.file("profile.out"));
    replaceAll(text, "{DIR}", dir.path());
    return text;
  };

  const auto started = std::chrono::steady_clock::now();
  const RunResult run = testsupport::runTool({PKG, expand(scene.output)}, setup);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (seconds > 5) {
    std::cout << row.name << ": the run took " << seconds << " s\n";
  }

  std::string expected = expand(row.expected);
  replaceAll(expected, "{ECHO}",
             "source hdiutil info plist --------------------------------------\n" +
                 (scene.echo ? *scene.echo : plist) +
                 "\n-----------------------------------------------------------------\n");
  expectSameText(run.out, expected);
  EXPECT_EQ(run.exitCode, row.exitCode);
  EXPECT_EQ(readFile(dir.file("profile.out")), row.profileWritten ? PROFILE : toBytes(OLD_OUTPUT));
  if (row.verify) {
    row.verify(scene);
  }
}

INSTANTIATE_TEST_SUITE_P(Injected, Faults, ::testing::ValuesIn(faults()),
                         [](const ::testing::TestParamInfo<Fault>& row) { return row.param.name; });

} // namespace
