// The shared file code on its own: the cheapest copy into each kind of
// stream, the clean-up of temporary files that runs ended by SIGKILL left
// behind, which must never touch a file another run still works on, the
// wait on a busy descriptor, the wait for a file system's clock, and the
// decisions made for macOS that run anywhere: the temporary file's name,
// which file flags rule out a clone and which a new image keeps, the block
// device beside a raw disk.
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "fileio/atomic_file.h"
#include "fileio/attributes.h"
#include "fileio/byte_order.h"
#include "fileio/copy.h"
#include "fileio/fd.h"
#include "fileio/io.h"
#include "fileio/place.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using fileio::CopyLimit;
using fileio::CopyMethod;
using testsupport::Bytes;
using testsupport::pattern;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// Everything that arrives on `fd` until its writer closes it.
Bytes drain(int fd) {
  Bytes all;
  std::uint8_t buffer[1 << 16];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) {
      return all;
    }
    all.insert(all.end(), buffer, buffer + got);
  }
}

// A stream the copy writes into, and what the test then reads out of it.
struct Target {
  int writeEnd = -1;
  std::function<Bytes()> received; // after writeEnd is closed
};

struct StreamCase {
  std::string name;
  std::function<Target(const TempDir&, std::thread&)> open;
  CopyMethod kernelMethod; // what the cheapest copy uses (Linux)
  Bytes before;            // what the target held before the copy
};

void PrintTo(const StreamCase& row, std::ostream* os) {
  *os << row.name;
}

// Both ends of a pipe, with a reader draining it on `reader`.
Target pipeTarget(std::thread& reader, bool nonBlocking) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  if (nonBlocking) {
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  }
  auto got = std::make_shared<Bytes>();
  reader = std::thread([fd = fds[0], got] {
    *got = drain(fd);
    close(fd);
  });
  return {fds[1], [got] { return *got; }};
}

const std::size_t FROM = 1000;                    // not at the file's start
const std::size_t LENGTH = (3 << 20) + 12345;     // past the 1 MiB buffer, and past a pipe's 64 KiB
const Bytes SOURCE = pattern(FROM + LENGTH + 77); // bytes after the range must not come along

std::vector<StreamCase> streamCases() {
  return {
      {"Pipe",
       [](const TempDir&, std::thread& reader) { return pipeTarget(reader, false); },
       CopyMethod::splice,
       {}},
      // A writer that was left non-blocking by whoever started the run.
      {"NonBlockingPipe",
       [](const TempDir&, std::thread& reader) { return pipeTarget(reader, true); },
       CopyMethod::splice,
       {}},
      {"Socket",
       [](const TempDir&, std::thread& reader) {
         int fds[2];
         EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
         auto got = std::make_shared<Bytes>();
         reader = std::thread([fd = fds[0], got] {
           *got = drain(fd);
           close(fd);
         });
         return Target{fds[1], [got] { return *got; }};
       },
       CopyMethod::sendfile,
       {}},
      {"RegularFile",
       [](const TempDir& dir, std::thread&) {
         writeFile(dir.file("out"), Bytes{1, 2, 3});
         const int fd = open(dir.file("out").c_str(), O_WRONLY);
         lseek(fd, 3, SEEK_SET); // written at its current position
         return Target{fd, [path = dir.file("out")] { return readFile(path); }};
       },
       CopyMethod::copy_file_range, Bytes{1, 2, 3}},
      // copy_file_range refuses a file opened for appending; the buffer does not.
      {"FileOpenedForAppending",
       [](const TempDir& dir, std::thread&) {
         writeFile(dir.file("out"), Bytes{9});
         const int fd = open(dir.file("out").c_str(), O_WRONLY | O_APPEND);
         return Target{fd, [path = dir.file("out")] { return readFile(path); }};
       },
       CopyMethod::stream, Bytes{9}},
  };
}

class CopyToStream : public ::testing::TestWithParam<std::tuple<StreamCase, CopyLimit>> {};

TEST_P(CopyToStream, DeliversExactlyTheRangeAtTheTargetsPosition) {
  const auto& [c, limit] = GetParam();
  TempDir dir;
  writeFile(dir.file("source"), SOURCE);
  const fileio::Fd source(open(dir.file("source").c_str(), O_RDONLY));
  ASSERT_TRUE(source.valid());
  std::thread reader;
  Target target = c.open(dir, reader);
  ASSERT_GE(target.writeEnd, 0);

  const auto result =
      fileio::copyToStream(source.get(), FROM, LENGTH, target.writeEnd, limit, {"the source", "the target"});
  close(target.writeEnd);
  if (reader.joinable()) {
    reader.join();
  }

  ASSERT_TRUE(result.has_value()) << result.error().message;
  EXPECT_EQ(*result, limit == CopyLimit::stream ? CopyMethod::stream : c.kernelMethod);
  Bytes expected = c.before;
  expected.insert(expected.end(), SOURCE.begin() + FROM, SOURCE.begin() + FROM + LENGTH);
  EXPECT_TRUE(target.received() == expected) << "the bytes that arrived differ";
}

INSTANTIATE_TEST_SUITE_P(Targets, CopyToStream,
                         ::testing::Combine(::testing::ValuesIn(streamCases()),
                                            ::testing::Values(CopyLimit::cheapest, CopyLimit::stream)),
                         [](const ::testing::TestParamInfo<std::tuple<StreamCase, CopyLimit>>& row) {
                           return std::get<0>(row.param).name +
                                  (std::get<1>(row.param) == CopyLimit::stream ? "_Buffered" : "_Kernel");
                         });

// A source that ends before the range does is a read failure, never a
// short copy passed off as complete.
TEST(CopyToStream, SourceShorterThanTheRangeFails) {
  TempDir dir;
  writeFile(dir.file("source"), pattern(100));
  writeFile(dir.file("out"), Bytes{});
  const fileio::Fd source(open(dir.file("source").c_str(), O_RDONLY));
  for (const CopyLimit limit : {CopyLimit::cheapest, CopyLimit::stream}) {
    const fileio::Fd out(open(dir.file("out").c_str(), O_WRONLY | O_TRUNC));
    const auto result =
        fileio::copyToStream(source.get(), 50, 100, out.get(), limit, {"the source", "the target"});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message, "cannot read the source: unexpected end of file");
    EXPECT_EQ(result.error().code, 0) << "the end of the file, not an error";
  }
}

// The place of `name` in `dir`, as the tools find their destinations.
fileio::Place placeIn(const TempDir& dir, const std::string& name) {
  auto place = fileio::placeOf(dir.file(name));
  EXPECT_TRUE(place.has_value()) << (place ? "" : place.error().message);
  return place ? std::move(*place) : fileio::Place{};
}

// What removeLeftovers() does, for the destination image.dmg, with each kind
// of file in its directory.
struct LeftoverCase {
  std::string label;
  std::string name;
  // Makes the file at `path`; may return a descriptor that holds its lock,
  // as a run that still assembles it does.
  std::function<fileio::Fd(const std::string& path)> make;
  bool removed;
  bool given = false;     // the run was given this file (say, as its image)
  bool otherUser = false; // the file belongs to another account (needs root)
};

void PrintTo(const LeftoverCase& row, std::ostream* os) {
  *os << row.label;
}

fileio::Fd regularFile(const std::string& path) {
  writeFile(path, Bytes{1});
  return {};
}

class Leftovers : public ::testing::TestWithParam<LeftoverCase> {};

TEST_P(Leftovers, OnlyOurUnlockedTemporaryFilesForThisDestinationGo) {
  const LeftoverCase& c = GetParam();
  if (c.otherUser && geteuid() != 0) {
    GTEST_SKIP() << "giving a file to another account needs root";
  }
  TempDir dir;
  writeFile(dir.file("image.dmg"), Bytes{2});
  const std::string path = dir.file(c.name);
  const fileio::Fd held = c.make(path);
  if (c.otherUser) {
    ASSERT_EQ(chown(path.c_str(), testsupport::NOBODY.uid, testsupport::NOBODY.gid), 0);
  }
  std::vector<struct stat> given;
  if (c.given) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    given.push_back(st);
  }

  const std::vector<std::string> removed = fileio::removeLeftovers(placeIn(dir, "image.dmg"), "stamp", given);

  EXPECT_EQ(removed, c.removed ? std::vector<std::string>{path} : std::vector<std::string>{});
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st) != 0, c.removed);
}

fileio::Fd noDescriptor(int status) {
  EXPECT_EQ(status, 0);
  return {};
}

INSTANTIATE_TEST_SUITE_P(
    Names, Leftovers,
    ::testing::ValuesIn(std::vector<LeftoverCase>{
        {"Ours", ".image.dmg.stamp-Ab12Cd", regularFile, true},
        {"DigitsOnly", ".image.dmg.stamp-000000", regularFile, true},
        {"StillLocked", ".image.dmg.stamp-Ab12Cd",
         [](const std::string& path) {
           regularFile(path);
           fileio::Fd fd(open(path.c_str(), O_RDONLY));
           EXPECT_EQ(flock(fd.get(), LOCK_EX), 0);
           return fd;
         },
         false},
        {"FiveCharacters", ".image.dmg.stamp-Ab12C", regularFile, false},
        {"SevenCharacters", ".image.dmg.stamp-Ab12Cd7", regularFile, false},
        {"NotAlphanumeric", ".image.dmg.stamp-Ab1-Cd", regularFile, false},
        {"NoLeadingDot", "image.dmg.stamp-Ab12Cd", regularFile, false},
        {"AnotherDestination", ".other.dmg.stamp-Ab12Cd", regularFile, false},
        {"AnotherTag", ".image.dmg.other-Ab12Cd", regularFile, false},
        {"LongerName", ".image.dmg.stamp-Ab12Cd.keep", regularFile, false},
        {"SymbolicLink", ".image.dmg.stamp-Ab12Cd",
         [](const std::string& path) { return noDescriptor(symlink("/etc/passwd", path.c_str())); }, false},
        {"Directory", ".image.dmg.stamp-Ab12Cd",
         [](const std::string& path) { return noDescriptor(mkdir(path.c_str(), 0700)); }, false},
        {"Fifo", ".image.dmg.stamp-Ab12Cd",
         [](const std::string& path) { return noDescriptor(mkfifo(path.c_str(), 0600)); }, false},
        // Another name of a file that lives on under its first one.
        {"HardLink", ".image.dmg.stamp-Ab12Cd",
         [](const std::string& path) {
           regularFile(path + ".first");
           return noDescriptor(link((path + ".first").c_str(), path.c_str()));
         },
         false},
        // A file named on the command line that happens to look like ours.
        {"GivenToTheRun", ".image.dmg.stamp-Ab12Cd", regularFile, false, true},
        // In a shared directory, anyone can make a file of that shape.
        {"AnotherUsers", ".image.dmg.stamp-Ab12Cd", regularFile, false, false, true},
    }),
    [](const ::testing::TestParamInfo<LeftoverCase>& row) { return row.param.label; });

// The file being assembled: locked while it exists, so that another run's
// clean-up leaves it alone; removed unless committed; renamed over its
// destination when it is.
TEST(AtomicFile, IsLockedWhileAssembledAndGoneUnlessCommitted) {
  TempDir dir;
  const fileio::Place destination = placeIn(dir, "image.dmg");
  {
    fileio::AtomicFile file(destination, "stamp");
    const auto created = file.create();
    ASSERT_TRUE(created.has_value()) << created.error().message;
    const std::vector<std::string> names = testsupport::listDirectory(dir.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind(".image.dmg.stamp-", 0), 0u) << names[0];
    EXPECT_TRUE(fileio::removeLeftovers(destination, "stamp", {}).empty());
    EXPECT_EQ(testsupport::listDirectory(dir.path()), names);
  }
  EXPECT_TRUE(testsupport::listDirectory(dir.path()).empty()) << "an uncommitted file must go";

  fileio::AtomicFile file(destination, "stamp");
  ASSERT_TRUE(file.create().has_value());
  ASSERT_EQ(write(file.fd(), "new", 3), 3);
  ASSERT_TRUE(file.flush().has_value());
  EXPECT_TRUE(fileio::removeLeftovers(destination, "stamp", {}).empty()) << "flushed, but still at work";
  ASSERT_TRUE(file.commit().has_value());
  EXPECT_EQ(readFile(dir.file("image.dmg")), testsupport::toBytes("new"));
  EXPECT_EQ(testsupport::listDirectory(dir.path()), std::vector<std::string>{"image.dmg"});
}

// What waitFor() does with each answer poll can give. macOS answers
// POLLNVAL at once, every time, for a device or terminal it cannot watch: a
// wait that returned straight away would have its caller retry the call,
// get EAGAIN again and spin on the CPU for as long as the descriptor stays
// busy. Each row is the sequence of answers the stand-in poll gives.
struct PollAnswer {
  int result;    // what poll returns
  int error;     // errno when it returns -1
  short revents; // what it reports when it returns 1
};

struct WaitCase {
  std::string name;
  std::vector<PollAnswer> answers;
  bool open;   // the descriptor waited on is open
  bool waited; // waitFor's result
  int polls;   // how many times it polled
  int pauses;  // how many times it paused instead
};

void PrintTo(const WaitCase& row, std::ostream* os) {
  *os << row.name;
}

// The stand-in poll and pause take their script from here (function
// pointers carry no state).
std::vector<PollAnswer> scriptedAnswers;
int pollsMade = 0;
int pausesMade = 0;

int scriptedPoll(pollfd* fds, nfds_t, int) {
  const PollAnswer answer = scriptedAnswers.at(static_cast<std::size_t>(pollsMade++));
  fds[0].revents = answer.result > 0 ? answer.revents : 0;
  errno = answer.error;
  return answer.result;
}

void countedPause(std::chrono::milliseconds pause) {
  EXPECT_GT(pause.count(), 0);
  ++pausesMade;
}

class WaitFor : public ::testing::TestWithParam<WaitCase> {};

TEST_P(WaitFor, WaitsPausesOrGivesUpButNeverReturnsAtOnceOnAnUnpollableDescriptor) {
  const WaitCase& c = GetParam();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int fd = c.open ? fds[1] : fds[1] + 100; // a number nothing is open at
  scriptedAnswers = c.answers;
  pollsMade = 0;
  pausesMade = 0;
  EXPECT_EQ(fileio::waitFor(fd, POLLOUT, scriptedPoll, countedPause).has_value(), c.waited);
  EXPECT_EQ(pollsMade, c.polls);
  EXPECT_EQ(pausesMade, c.pauses);
  close(fds[0]);
  close(fds[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, WaitFor,
    ::testing::ValuesIn(std::vector<WaitCase>{
        {"Ready", {{1, 0, POLLOUT}}, true, true, 1, 0},
        {"InterruptedThenReady", {{-1, EINTR, 0}, {-1, EINTR, 0}, {1, 0, POLLOUT}}, true, true, 3, 0},
        // The macOS device: poll cannot watch it, so the wait is a pause.
        {"UnpollableDevice", {{1, 0, POLLNVAL}}, true, true, 1, 1},
        {"NotOpenAtAll", {{1, 0, POLLNVAL}}, false, false, 1, 0},
        // The reader went away: the call that follows reports it (EPIPE).
        {"ErrorOrHangUpIsForTheCallToReport", {{1, 0, POLLERR | POLLHUP}}, true, true, 1, 0},
        {"ShortOfResources", {{-1, EAGAIN, 0}}, true, true, 1, 1},
        {"NothingReported", {{0, 0, 0}}, true, true, 1, 1},
        {"PollFails", {{-1, ENOMEM, 0}}, true, false, 1, 0},
    }),
    [](const ::testing::TestParamInfo<WaitCase>& row) { return row.param.name; });

// A real poll on a descriptor that is not open: an answer, not a hang.
TEST(WaitFor, ClosedDescriptorFailsAtOnce) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_FALSE(fileio::waitFor(fds[1], POLLOUT).has_value());
}

// How long a run waits before it records the image's version: until the
// file system's clock has moved past the granularity its modification time
// shows, so that a later change at the same size still gives the file
// another time. Times here are (seconds, nanoseconds).
struct SettleCase {
  std::string name;
  timespec modified;
  timespec now;
  std::chrono::nanoseconds wait;
};

void PrintTo(const SettleCase& row, std::ostream* os) {
  *os << row.name;
}

class UntilChangesShow : public ::testing::TestWithParam<SettleCase> {};

TEST_P(UntilChangesShow, WaitsOutTheGranularityTheTimeShows) {
  const SettleCase& c = GetParam();
  EXPECT_EQ(fileio::untilChangesShow(c.modified, c.now).count(), c.wait.count());
}

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

INSTANTIATE_TEST_SUITE_P(Times, UntilChangesShow,
                         ::testing::ValuesIn(std::vector<SettleCase>{
                             // Whole seconds: FAT's 2 s (HFS+'s 1 s within it). A same-size write
                             // at 1000.9 would still read 1000 there.
                             {"CoarseJustWritten", {1000, 0}, {1000, 100'000'000}, milliseconds(1900)},
                             {"CoarseOneSecondOn", {1000, 0}, {1001, 0}, milliseconds(1000)},
                             {"CoarseTwoSecondsOn", {1000, 0}, {1002, 0}, nanoseconds(0)},
                             {"CoarseLongAgo", {1000, 0}, {5000, 0}, nanoseconds(0)},
                             // Nanoseconds: the tick of the kernel's clock that stamps them.
                             {"FineJustWritten", {1000, 500'000'000}, {1000, 505'000'000}, milliseconds(15)},
                             {"FineTickPassed", {1000, 500'000'000}, {1000, 520'000'000}, nanoseconds(0)},
                             {"FineAcrossASecond", {1000, 990'000'000}, {1001, 0}, milliseconds(10)},
                             // A file system clock ahead of ours (a network server's) holds the
                             // run up for the granularity at most.
                             {"CoarseFromTheFuture", {2000, 0}, {1000, 0}, milliseconds(2000)},
                             {"FineFromTheFuture", {2000, 1}, {1000, 0}, milliseconds(20)},
                         }),
                         [](const ::testing::TestParamInfo<SettleCase>& row) { return row.param.name; });

// The temporary file's name keeps the destination's first 200 bytes, and
// never cuts a UTF-8 character in two: APFS and HFS+ refuse a name that is
// not valid UTF-8, and a run would then fail to create its file for a
// destination it could write.
struct PrefixCase {
  std::string name;
  std::string destination;
  std::size_t kept; // bytes of the destination's name in the prefix
};

void PrintTo(const PrefixCase& row, std::ostream* os) {
  *os << row.name;
}

class TemporaryPrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(TemporaryPrefix, CutsTheNameAtACharacter) {
  const PrefixCase& c = GetParam();
  const std::string prefix = fileio::temporaryPrefix(c.destination, "stamp");
  EXPECT_EQ(prefix, "." + c.destination.substr(0, c.kept) + ".stamp-");
  EXPECT_LE(prefix.size() + 6, 255u) << "with its six random characters, the name fits in 255 bytes";
}

const std::string A199(199, 'a');

INSTANTIATE_TEST_SUITE_P(
    Names, TemporaryPrefix,
    ::testing::ValuesIn(std::vector<PrefixCase>{
        {"Short", "Acme.dmg", 8},
        {"LongAscii", std::string(250, 'a'), 200},
        {"TwoByteCharacterAcrossTheCut", A199 + "\xc3\xa9.dmg", 199},                 // é at bytes 199-200
        {"ThreeByteCharacterAcrossTheCut", A199.substr(1) + "\xe2\x82\xac.dmg", 198}, // € at 198-200
        {"FourByteCharacterAcrossTheCut", A199.substr(2) + "\xf0\x9f\x93\x80.dmg", 197}, // 📀 at 197-200
        {"CharacterRightAfterTheCut", A199 + "a\xc3\xa9.dmg", 200},
        {"CharacterEndingAtTheCut", A199.substr(1) + "\xc3\xa9.dmg", 200},
        {"AllTwoByteCharacters",
         [] {
           std::string name;
           for (int i = 0; i < 125; ++i) {
             name += "\xc3\xa9";
           }
           return name;
         }(),
         200},
    }),
    [](const ::testing::TestParamInfo<PrefixCase>& row) { return row.param.name; });

// Which BSD file flags keep an image from being cloned, and which a new
// image keeps (fileio/attributes.h says why). The clone carries them all: a
// locked clone could be neither written nor removed by the run or the next
// run's clean-up. Both the clone and the buffered copy end with the same
// flags.
struct FlagsCase {
  std::string name;
  std::uint32_t flags;
  bool mayClone;
  std::uint32_t kept;
};

void PrintTo(const FlagsCase& row, std::ostream* os) {
  *os << row.name;
}

class FileFlags : public ::testing::TestWithParam<FlagsCase> {};

TEST_P(FileFlags, DecideTheCloneAndWhatTheNewImageKeeps) {
  const FlagsCase& c = GetParam();
  EXPECT_EQ(fileio::mayClone(c.flags), c.mayClone);
  EXPECT_EQ(fileio::keptFlags(c.flags), c.kept);
}

namespace flags = fileio::flags;

INSTANTIATE_TEST_SUITE_P(Sets, FileFlags,
                         ::testing::ValuesIn(std::vector<FlagsCase>{
                             {"None", 0, true, 0},
                             {"Hidden", flags::HIDDEN, true, flags::HIDDEN},
                             {"HiddenAndNoDump", flags::HIDDEN | flags::NODUMP, true,
                              flags::HIDDEN | flags::NODUMP},
                             {"LockedInTheFinder", flags::IMMUTABLE, false, 0},
                             {"AppendOnly", flags::APPEND, false, 0},
                             {"LockedBySystem", flags::SYSTEM_IMMUTABLE, false, 0},
                             {"AppendOnlyBySystem", flags::SYSTEM_APPEND, false, 0},
                             {"NoUnlink", flags::NO_UNLINK, false, 0},
                             {"Compressed", flags::COMPRESSED, false, 0},
                             {"Dataless", flags::DATALESS, false, 0},
                             {"LockedAndHidden", flags::IMMUTABLE | flags::HIDDEN, false, flags::HIDDEN},
                             {"CompressedAndHidden", flags::COMPRESSED | flags::HIDDEN, false, flags::HIDDEN},
                             // The system's own, cleared from a clone.
                             {"Tracked", flags::TRACKED, true, 0},
                             {"DataVault", flags::DATAVAULT, true, 0},
                             {"Restricted", flags::RESTRICTED, true, 0},
                             {"Archived", flags::SYSTEM_ARCHIVED | flags::HIDDEN, true, flags::HIDDEN},
                         }),
                         [](const ::testing::TestParamInfo<FlagsCase>& row) { return row.param.name; });

// macOS names each disk twice: /dev/diskN, the block device, which has a
// size, and /dev/rdiskN, the raw character device, which has none to count
// back from. A raw disk given for an image is answered with its block
// device's name.
struct BlockDeviceCase {
  std::string path;
  std::string block; // empty: no raw disk's name
};

class BlockDeviceOf : public ::testing::TestWithParam<BlockDeviceCase> {};

TEST_P(BlockDeviceOf, NamesTheBlockDeviceOfARawDisk) {
  EXPECT_EQ(fileio::blockDeviceOf(GetParam().path), GetParam().block) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Paths, BlockDeviceOf,
                         ::testing::ValuesIn(std::vector<BlockDeviceCase>{
                             {"/dev/rdisk4", "/dev/disk4"},
                             {"/dev/rdisk12s3", "/dev/disk12s3"},
                             {"/dev/rdisk4s1s2", "/dev/disk4s1s2"},
                             {"rdisk0", "disk0"},
                             {"/dev/disk4", ""},
                             {"/dev/rdisk", ""},
                             {"/dev/rdisks1", ""},
                             {"/dev/rdisk4s", ""},
                             {"/dev/rdisk4x", ""},
                             {"/dev/rdisk4/x", ""},
                             {"/dev/null", ""},
                         }));

} // namespace

// The fields at the end of an image are big-endian; the Mach-O checker also
// reads little-endian ones. Each width, each order, against known bytes.
TEST(ByteOrder, EachWidthReadsAndWritesInItsOrder) {
  const std::uint8_t bytes[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xf8};
  EXPECT_EQ(fileio::readBigEndian<std::uint16_t>(bytes), 0x0102u);
  EXPECT_EQ(fileio::readBigEndian<std::uint32_t>(bytes), 0x01020304u);
  EXPECT_EQ(fileio::readBigEndian<std::uint64_t>(bytes), 0x01020304050607f8u);
  EXPECT_EQ(fileio::readLittleEndian<std::uint16_t>(bytes), 0x0201u);
  EXPECT_EQ(fileio::readLittleEndian<std::uint32_t>(bytes), 0x04030201u);
  EXPECT_EQ(fileio::readLittleEndian<std::uint64_t>(bytes), 0xf807060504030201u);

  std::uint8_t written[8] = {};
  fileio::writeBigEndian<std::uint64_t>(0x01020304050607f8u, written);
  EXPECT_EQ(Bytes(written, written + 8), Bytes(bytes, bytes + 8));
  fileio::writeBigEndian<std::uint32_t>(0xfffffffeu, written);
  EXPECT_EQ(Bytes(written, written + 4), (Bytes{0xff, 0xff, 0xff, 0xfe}));
  EXPECT_EQ(fileio::readBigEndian<std::uint32_t>(written), 0xfffffffeu);
}
