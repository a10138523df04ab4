// End-to-end runs of brackwell-stamp (BRACKWELL_STAMP_BIN): exit status,
// standard output and standard error byte for byte, and every file in the
// directory afterwards. Then the ways a run can fail part-way: no permission
// to create the new file, a file-size limit, a signal, each of which must
// leave the image intact and no temporary file behind.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "profile/profile_trailer.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::Bytes;
using testsupport::ChildSetup;
using testsupport::readFile;
using testsupport::replaceAll;
using testsupport::RunResult;
using testsupport::runStampTool;
using testsupport::TempDir;
using testsupport::toBytes;
using testsupport::writeFile;

namespace {

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

Bytes stamped(const Bytes& data, const Bytes& profile, const Bytes& tail) {
  const auto descriptor = profile_trailer::encodeDescriptor(static_cast<std::uint32_t>(profile.size()));
  return cat({data, profile, Bytes(descriptor.begin(), descriptor.end()), tail});
}

// Binary on purpose: a zero byte and 0xff must come through unchanged.
const char PROFILE_TEXT[] = "customer=Acme Corp\nseat-key=\x01\x02\x00\xff\n";
const Bytes PROFILE = toBytes(std::string(PROFILE_TEXT, sizeof PROFILE_TEXT - 1)); // 33 bytes
const Bytes NEW_PROFILE = toBytes("customer=Globex\n");                            // 16 bytes
const Bytes DATA(4096, 0x5a);

Bytes tail(std::uint8_t signatureLengthByte = 0) {
  Bytes bytes = testsupport::udifTrailer();
  bytes[311] = signatureLengthByte; // low byte of the code-signature length
  return bytes;
}

const Bytes PLAIN = cat({DATA, tail()});
const Bytes STAMPED = stamped(DATA, PROFILE, tail());
const Bytes SIGNED = cat({DATA, tail(0x40)});
const Bytes NOKOLY(2048, 0);

// The directory every case starts from.
const std::map<std::string, Bytes> FIXTURES = {
    {"plain.dmg", PLAIN},     {"stamped.dmg", STAMPED}, {"signed.dmg", SIGNED},     {"nokoly.dmg", NOKOLY},
    {"profile.bin", PROFILE}, {"new.bin", NEW_PROFILE}, {"stdin.bin", NEW_PROFILE},
};

const std::string USAGE = "usage: brackwell-stamp write IMAGE PROFILE [--out OUT] [--replace] [--force]\n"
                          "       brackwell-stamp show IMAGE\n"
                          "       brackwell-stamp extract IMAGE [--out FILE]\n"
                          "       brackwell-stamp remove IMAGE [--out OUT]\n"
                          "PROFILE '-' reads the profile from standard input.\n";

std::string usageError(const std::string& what) {
  return "brackwell-stamp: " + what + "\n" + USAGE;
}

struct CliCase {
  std::string name;
  std::vector<std::string> args; // {DIR}: the case's directory
  std::vector<std::pair<std::string, std::string>> env;
  int exitCode;
  std::string out; // standard output, exactly ({DIR} expanded)
  std::string err; // standard error, exactly
  std::map<std::string, Bytes>
      changed; // files created or changed, with their contents; all others stay as they were
};

void PrintTo(const CliCase& row, std::ostream* os) {
  *os << row.name;
}

std::vector<CliCase> cliCases() {
  const std::string stampedShow = "image: {DIR}/stamped.dmg\nsize: " + std::to_string(STAMPED.size()) +
                                  " bytes\nprofile: offset 4096, length 33\ncode signature: none\n";
  const std::string notA = "Embedded data not of type 'A'";
  const std::string signedMessage = "brackwell-stamp: '{DIR}/signed.dmg' carries a code signature (offset 0, "
                                    "length 64). Stamping it breaks "
                                    "that signature, and signing it after stamping puts the signature "
                                    "between the profile's descriptor and the "
                                    "trailer, where brackwell cannot find the profile. Stamp an unsigned "
                                    "image, or pass --force to stamp this "
                                    "one and give up its signature\n";
  return {
      // Usage errors: status 2, the usage on standard error, nothing touched.
      {"NoCommand", {}, {}, 2, "", usageError("no command given"), {}},
      {"UnknownCommand", {"stamp", "{DIR}/plain.dmg"}, {}, 2, "", usageError("unknown command 'stamp'"), {}},
      {"WriteWithoutProfile",
       {"write", "{DIR}/plain.dmg"},
       {},
       2,
       "",
       usageError("write takes IMAGE and PROFILE, got 1 operand"),
       {}},
      {"ExtraOperand",
       {"remove", "{DIR}/stamped.dmg", "{DIR}/plain.dmg"},
       {},
       2,
       "",
       usageError("remove takes one IMAGE, got 2 operands"),
       {}},
      {"OptionOfAnotherCommand",
       {"show", "{DIR}/stamped.dmg", "--force"},
       {},
       2,
       "",
       usageError("unknown option '--force' for show"),
       {}},
      {"OutWithoutPath",
       {"extract", "{DIR}/stamped.dmg", "--out"},
       {},
       2,
       "",
       usageError("--out needs a path"),
       {}},
      {"OutTwice",
       {"remove", "{DIR}/stamped.dmg", "--out", "{DIR}/a", "--out={DIR}/b"},
       {},
       2,
       "",
       usageError("--out given twice"),
       {}},

      // write
      {"WriteInPlace",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin"},
       {},
       0,
       "",
       "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '{DIR}/plain.dmg'\n",
       {{"plain.dmg", STAMPED}}},
      {"WriteToOutLeavesTheImage",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin", "--out", "{DIR}/out.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '{DIR}/out.dmg'\n",
       {{"out.dmg", STAMPED}}},
      {"WriteFromStandardInput",
       {"write", "--out={DIR}/out.dmg", "{DIR}/plain.dmg", "-"},
       {},
       0,
       "",
       "brackwell-stamp: stamped a profile of 16 bytes at offset 4096; wrote '{DIR}/out.dmg'\n",
       {{"out.dmg", stamped(DATA, NEW_PROFILE, tail())}}},
      {"WriteRefusesAnExistingProfile",
       {"write", "{DIR}/stamped.dmg", "{DIR}/new.bin"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/stamped.dmg' already carries a profile (33 bytes at offset 4096); pass "
       "--replace "
       "to swap it for the new one\n",
       {}},
      {"WriteReplace",
       {"write", "{DIR}/stamped.dmg", "{DIR}/new.bin", "--replace"},
       {},
       0,
       "",
       "brackwell-stamp: replaced the profile of 33 bytes with 16 bytes at offset 4096; wrote "
       "'{DIR}/stamped.dmg'\n",
       {{"stamped.dmg", stamped(DATA, NEW_PROFILE, tail())}}},
      {"WriteRefusesASignedImage",
       {"write", "{DIR}/signed.dmg", "{DIR}/profile.bin"},
       {},
       1,
       "",
       signedMessage,
       {}},
      {"WriteForcesASignedImage",
       {"write", "{DIR}/signed.dmg", "{DIR}/profile.bin", "--force"},
       {},
       0,
       "",
       "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '{DIR}/signed.dmg'\n",
       {{"signed.dmg", stamped(DATA, PROFILE, tail(0x40))}}},
      {"WriteRefusesAnImageWithoutTrailer",
       {"write", "{DIR}/nokoly.dmg", "{DIR}/profile.bin", "--out", "{DIR}/out.dmg"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/nokoly.dmg' does not end in a 512-byte UDIF trailer ('koly' block not "
       "found)\n",
       {}},
      {"WriteWithMissingProfile",
       {"write", "{DIR}/plain.dmg", "{DIR}/missing.bin"},
       {},
       1,
       "",
       "brackwell-stamp: cannot open profile '{DIR}/missing.bin': No such file or directory\n",
       {}},
      {"WriteNamesTheCopyMethodWhenVerbose",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin"},
       {{"BRACKWELL_STAMP_VERBOSE", "1"}, {"BRACKWELL_STAMP_COPY", "stream"}},
       0,
       "",
       "brackwell-stamp: copy method: streamed (4096 bytes in front of the insertion point)\n"
       "brackwell-stamp: stamped a profile of 33 bytes at offset 4096; wrote '{DIR}/plain.dmg'\n",
       {{"plain.dmg", STAMPED}}},
      {"UnknownCopyMethod",
       {"write", "{DIR}/plain.dmg", "{DIR}/profile.bin"},
       {{"BRACKWELL_STAMP_COPY", "fast"}},
       1,
       "",
       "brackwell-stamp: BRACKWELL_STAMP_COPY must be auto, no-clone or stream\n",
       {}},

      // show
      {"ShowStamped", {"show", "{DIR}/stamped.dmg"}, {}, 0, stampedShow, "", {}},
      {"ShowWithoutProfile",
       {"show", "{DIR}/plain.dmg"},
       {},
       1,
       "image: {DIR}/plain.dmg\nsize: 4608 bytes\nprofile: none (" + notA + ")\ncode signature: none\n",
       "brackwell-stamp: no valid profile in '{DIR}/plain.dmg': " + notA + "\n",
       {}},
      {"ShowSigned",
       {"show", "{DIR}/signed.dmg"},
       {},
       1,
       "image: {DIR}/signed.dmg\nsize: 4608 bytes\nprofile: none (" + notA +
           ")\ncode signature: offset 0, length 64\n",
       "brackwell-stamp: no valid profile in '{DIR}/signed.dmg': " + notA + "\n",
       {}},
      {"ShowWithoutTrailer",
       {"show", "{DIR}/nokoly.dmg"},
       {},
       1,
       "image: {DIR}/nokoly.dmg\nsize: 2048 bytes\nprofile: none ('koly' block not found)\n"
       "code signature: unknown (no trailer)\n",
       "brackwell-stamp: no valid profile in '{DIR}/nokoly.dmg': 'koly' block not found\n",
       {}},
      {"ShowMissingImage",
       {"show", "{DIR}/missing.dmg"},
       {},
       1,
       "",
       "brackwell-stamp: cannot open image '{DIR}/missing.dmg': No such file or directory\n",
       {}},

      {"ShowDirectory", {"show", "{DIR}"}, {}, 1, "", "brackwell-stamp: '{DIR}' is not a regular file\n", {}},

      // extract: the reader's own lines on standard error, the bytes alone on standard output
      {"ExtractToStandardOutput",
       {"extract", "{DIR}/stamped.dmg"},
       {},
       0,
       std::string(PROFILE.begin(), PROFILE.end()),
       "Extracting profile from DMG at '{DIR}/stamped.dmg'\nbrackwell-stamp: extracted a profile of 33 "
       "bytes\n",
       {}},
      {"ExtractToFile",
       {"extract", "{DIR}/stamped.dmg", "--out", "{DIR}/profile.out"},
       {},
       0,
       "",
       "Extracting profile from DMG at '{DIR}/stamped.dmg'\n"
       "brackwell-stamp: extracted a profile of 33 bytes to '{DIR}/profile.out'\n",
       {{"profile.out", PROFILE}}},
      {"ExtractWithoutProfile",
       {"extract", "{DIR}/plain.dmg", "--out", "{DIR}/profile.out"},
       {},
       1,
       "",
       "Extracting profile from DMG at '{DIR}/plain.dmg'\n" + notA +
           "\nbrackwell-stamp: no profile extracted\n",
       {}},
      {"ExtractToAFullDevice",
       {"extract", "{DIR}/stamped.dmg", "--out", "/dev/full"},
       {},
       1,
       "",
       "Extracting profile from DMG at '{DIR}/stamped.dmg'\nbrackwell-stamp: cannot write '/dev/full'\n",
       {}},

      // remove
      {"RemoveInPlace",
       {"remove", "{DIR}/stamped.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: removed the profile of 33 bytes; wrote '{DIR}/stamped.dmg'\n",
       {{"stamped.dmg", PLAIN}}},
      {"RemoveToOut",
       {"remove", "{DIR}/stamped.dmg", "--out", "{DIR}/out.dmg"},
       {},
       0,
       "",
       "brackwell-stamp: removed the profile of 33 bytes; wrote '{DIR}/out.dmg'\n",
       {{"out.dmg", PLAIN}}},
      {"RemoveWithoutProfile",
       {"remove", "{DIR}/plain.dmg"},
       {},
       1,
       "",
       "brackwell-stamp: '{DIR}/plain.dmg' carries no profile to remove: " + notA + "\n",
       {}},
  };
}

void writeFixtures(const TempDir& dir) {
  for (const auto& [name, bytes] : FIXTURES) {
    writeFile(dir.file(name), bytes);
  }
}

class StampCli : public ::testing::TestWithParam<CliCase> {};

TEST_P(StampCli, PrintsExitsAndChangesExactlyWhatItShould) {
  const CliCase& c = GetParam();
  TempDir dir;
  writeFixtures(dir);
  auto expand = [&](std::string text) {
    replaceAll(text, "{DIR}", dir.path());
    return text;
  };
  std::vector<std::string> args;
  for (const std::string& arg : c.args) {
    args.push_back(expand(arg));
  }
  ChildSetup setup;
  setup.env = c.env;
  setup.stdinPath = dir.file("stdin.bin");
  setup.captureStderr = true;

  const RunResult run = runStampTool(args, setup);

  EXPECT_EQ(run.exitCode, c.exitCode);
  EXPECT_EQ(run.out, expand(c.out));
  EXPECT_EQ(run.err, expand(c.err));
  std::map<std::string, Bytes> expected = FIXTURES;
  for (const auto& [name, bytes] : c.changed) {
    expected[name] = bytes;
  }
  std::vector<std::string> names;
  for (const auto& entry : expected) {
    names.push_back(entry.first);
  }
  EXPECT_EQ(testsupport::listDirectory(dir.path()), names); // no temporary file, nothing unexpected
  for (const auto& [name, bytes] : expected) {
    EXPECT_EQ(readFile(dir.file(name)), bytes) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, StampCli, ::testing::ValuesIn(cliCases()),
                         [](const ::testing::TestParamInfo<CliCase>& row) { return row.param.name; });

// The directory a failed run must leave exactly as it found it.
struct Snapshot {
  std::vector<std::string> names;
  Bytes image;
};

Snapshot snapshot(const std::string& dir, const std::string& image) {
  return {testsupport::listDirectory(dir), readFile(image)};
}

void expectUnchanged(const Snapshot& before, const std::string& dir, const std::string& image) {
  EXPECT_EQ(testsupport::listDirectory(dir), before.names) << "a temporary file was left behind";
  EXPECT_EQ(readFile(image), before.image) << "the image changed";
}

// A directory the run may not create files in. Root ignores permission
// bits, so as root the run drops to the unprivileged user "nobody".
class UnwritableDirectory : public ::testing::TestWithParam<bool> {}; // in place?

TEST_P(UnwritableDirectory, FailsBeforeTouchingAnything) {
  const bool inPlace = GetParam();
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0); // "nobody" must reach the files
  const std::string ro = dir.file("ro");
  ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
  writeFile(dir.file("image.dmg"), PLAIN);
  writeFile(ro + "/image.dmg", PLAIN);
  writeFile(dir.file("profile.bin"), PROFILE);
  ASSERT_EQ(chmod(ro.c_str(), 0555), 0);

  ChildSetup setup;
  setup.captureStderr = true;
  if (geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) {
      GTEST_SKIP()
          << "running as root and there is no user 'nobody' to drop to; permission bits would not stop "
             "root";
    }
    setup.runAs = testsupport::Identity{nobody->pw_uid, nobody->pw_gid};
  }
  const std::string image = inPlace ? ro + "/image.dmg" : dir.file("image.dmg");
  std::vector<std::string> args = {"write", image, dir.file("profile.bin")};
  if (!inPlace) {
    args.insert(args.end(), {"--out", ro + "/out.dmg"});
  }
  const Snapshot before = snapshot(ro, ro + "/image.dmg");

  const RunResult run = runStampTool(args, setup);

  if (run.exitCode == testsupport::CANNOT_DROP_PRIVILEGES) {
    GTEST_SKIP() << "could not drop root privileges in the child; permission bits would not stop root";
  }
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "brackwell-stamp: cannot create a temporary file in '" + ro + "': Permission denied\n");
  expectUnchanged(before, ro, ro + "/image.dmg");
  EXPECT_EQ(readFile(dir.file("image.dmg")), PLAIN);
}

INSTANTIATE_TEST_SUITE_P(Destinations, UnwritableDirectory, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return row.param ? "InPlace" : "ToOut";
                         });

// A write that fails part-way: a file-size limit (RLIMIT_FSIZE) stops the
// new file at a chosen point. The tool itself ignores SIGXFSZ, so the write
// fails with EFBIG instead of killing it, and it must clean up.
struct LimitCase {
  std::string name;
  std::string copy; // BRACKWELL_STAMP_COPY
  rlim_t limit;     // bytes the new file may reach
};

void PrintTo(const LimitCase& row, std::ostream* os) {
  *os << row.name;
}

constexpr std::size_t BIG_DATA = 256 << 10;
constexpr std::size_t BIG_PROFILE = 64 << 10;

class FileSizeLimit : public ::testing::TestWithParam<std::tuple<LimitCase, bool>> {};

TEST_P(FileSizeLimit, OriginalStaysIntactAndNoTemporaryFileRemains) {
  const auto& [c, inPlace] = GetParam();
  TempDir dir;
  const std::string image = dir.file("image.dmg");
  writeFile(image, cat({Bytes(BIG_DATA, 0x33), tail()}));
  writeFile(dir.file("profile.bin"), Bytes(BIG_PROFILE, 0x44));
  ChildSetup setup;
  setup.captureStderr = true;
  setup.env = {{"BRACKWELL_STAMP_COPY", c.copy}};
  setup.maxFileSize = c.limit;
  std::vector<std::string> args = {"write", image, dir.file("profile.bin")};
  if (!inPlace) {
    args.insert(args.end(), {"--out", dir.file("out.dmg")});
  }
  const Snapshot before = snapshot(dir.path(), image);

  const RunResult run = runStampTool(args, setup);

  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
  expectUnchanged(before, dir.path(), image);
}

INSTANTIATE_TEST_SUITE_P(WritesCutShort, FileSizeLimit,
                         ::testing::Combine(::testing::ValuesIn(std::vector<LimitCase>{
                                                {"InTheStreamedCopy", "stream", BIG_DATA / 2},
                                                {"InTheKernelCopy", "no-clone", BIG_DATA / 2},
                                                {"InTheProfile", "stream", BIG_DATA + BIG_PROFILE / 2},
                                                {"InTheTrailer", "stream", BIG_DATA + BIG_PROFILE + 16 + 100},
                                            }),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<LimitCase, bool>>& row) {
                           return std::get<0>(row.param).name +
                                  (std::get<1>(row.param) ? "_InPlace" : "_ToOut");
                         });

// Ended by a signal while it waits for the profile on standard input, the
// run removes its temporary file and dies of that signal.
class EndedBySignal : public ::testing::TestWithParam<int> {};

TEST_P(EndedBySignal, RemovesItsTemporaryFile) {
  const int signal = GetParam();
  const char* bin = std::getenv("BRACKWELL_STAMP_BIN");
  ASSERT_NE(bin, nullptr) << "BRACKWELL_STAMP_BIN is not set; run through ctest";
  TempDir dir;
  const std::string image = dir.file("image.dmg");
  writeFile(image, PLAIN);
  const Snapshot before = snapshot(dir.path(), image);
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(input[0], STDIN_FILENO);
    close(input[0]);
    close(input[1]);
    // A signal ignored by whoever started the tests would stay ignored.
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
      std::signal(s, SIG_DFL);
    }
    execl(bin, bin, "write", image.c_str(), "-", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(input[0]);
  bool started = false;
  for (int i = 0; i < 1000 && !started; ++i) {
    started = testsupport::listDirectory(dir.path()).size() == 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, signal);
  int status = 0;
  waitpid(pid, &status, 0);
  close(input[1]);
  ASSERT_TRUE(started) << "the temporary file never appeared";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
  expectUnchanged(before, dir.path(), image);
}

INSTANTIATE_TEST_SUITE_P(Signals, EndedBySignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& row) {
                           return row.param == SIGINT    ? "Interrupt"
                                  : row.param == SIGTERM ? "Terminate"
                                                         : "Hangup";
                         });

} // namespace
