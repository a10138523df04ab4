// The C interface a server module calls (recipe_c.h): the image's first
// bytes and the tail it gives must be exactly what `brackwell-stamp write
// --out -` writes, its validator the one `--dry-run --json` prints, and its
// refusals those of the command line, with the same words.
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "fileio/fd.h"
#include "stamp/recipe_c.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::Bytes;
using testsupport::cat;
using testsupport::ChildSetup;
using testsupport::pattern;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::signatureBlob;
using testsupport::signedImage;
using testsupport::stamped;
using testsupport::TempDir;
using testsupport::withSignatureFields;
using testsupport::writeFile;

namespace {

constexpr std::size_t MESSAGE_SIZE = 1024;

// One call of brackwell_recipe_make, its recipe released when it goes.
struct Made {
  brackwell_recipe_status status = BRACKWELL_RECIPE_UNREADABLE;
  brackwell_recipe* recipe = nullptr;
  std::string message;
  Made() = default;
  Made(const Made&) = delete;
  Made& operator=(const Made&) = delete;
  ~Made() { brackwell_recipe_free(recipe); }
};

void make(Made& made, int imageFd, int profileFd, unsigned options, const std::string& name) {
  char message[MESSAGE_SIZE];
  std::memset(message, 'x', sizeof message);
  made.recipe = reinterpret_cast<brackwell_recipe*>(&made); // must be overwritten
  made.status =
      brackwell_recipe_make(imageFd, profileFd, options, name.c_str(), &made.recipe, message, sizeof message);
  if (made.status == BRACKWELL_RECIPE_OK) {
    EXPECT_EQ(message[0], 'x') << "a recipe that worked wrote a message";
  } else {
    EXPECT_EQ(made.recipe, nullptr);
    made.recipe = nullptr;
    ASSERT_NE(std::memchr(message, '\0', sizeof message), nullptr) << "the message is not terminated";
    made.message = message;
  }
}

// The new image the recipe describes: the image file's first `keep` bytes,
// then the tail.
Bytes assembled(const std::string& image, const brackwell_recipe& recipe) {
  const Bytes bytes = readFile(image);
  EXPECT_LE(recipe.keep, bytes.size());
  Bytes result(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(
                                                  std::min<std::uint64_t>(recipe.keep, bytes.size())));
  result.insert(result.end(), recipe.tail, recipe.tail + recipe.tail_length);
  return result;
}

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The command line's arguments for the same options.
std::vector<std::string> cliOptions(unsigned options) {
  std::vector<std::string> args;
  if ((options & BRACKWELL_RECIPE_UNSIGN) != 0) {
    args.push_back("--unsign");
  }
  if ((options & BRACKWELL_RECIPE_REPLACE) != 0) {
    args.push_back("--replace");
  }
  return args;
}

RunResult stampWrite(const std::string& image, const std::string& profile, unsigned options,
                     const std::vector<std::string>& more) {
  std::vector<std::string> args{"write", image, profile};
  for (const std::string& option : cliOptions(options)) {
    args.push_back(option);
  }
  args.insert(args.end(), more.begin(), more.end());
  ChildSetup setup;
  setup.captureStderr = true;
  return testsupport::runStampTool(args, setup);
}

const Bytes DATA = pattern(1000, 1);
// A trailer with content beyond "koly", so that one made anew would show.
const Bytes TRAILER = [] {
  Bytes bytes = testsupport::udifTrailer();
  for (std::size_t i = 16; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7);
  }
  return withSignatureFields(bytes, 0, 0);
}();
const Bytes PROFILE = testsupport::PROFILE;
const Bytes OTHER = pattern(700, 3);
const Bytes PLAIN = cat({DATA, TRAILER});
const Bytes WITH_PROFILE = stamped(DATA, PROFILE, TRAILER);
const Bytes BLOB = signatureBlob(2000);

struct Case {
  std::string name;
  Bytes image;
  Bytes profile;
  unsigned options;
  brackwell_recipe_status status;
  Bytes expected; // the new image, when the status is OK
};

void PrintTo(const Case& row, std::ostream* os) {
  *os << row.name;
}

std::vector<Case> cases() {
  const Bytes big = pattern((1 << 20) + 5, 4); // the profile's read buffer holds 1 MiB
  Bytes damaged = WITH_PROFILE;
  std::fill(damaged.end() - 528, damaged.end() - 524, 0xff); // length 4294967295
  const unsigned UNSIGN = BRACKWELL_RECIPE_UNSIGN;
  const unsigned REPLACE = BRACKWELL_RECIPE_REPLACE;
  const auto OK = BRACKWELL_RECIPE_OK;
  const auto REFUSED = BRACKWELL_RECIPE_REFUSED;
  return {
      {"Plain", PLAIN, PROFILE, 0, OK, WITH_PROFILE},
      {"EmptyProfile", PLAIN, {}, 0, OK, stamped(DATA, {}, TRAILER)},
      {"ProfileLongerThanAReadBuffer", PLAIN, big, 0, OK, stamped(DATA, big, TRAILER)},
      {"ImageThatIsOnlyATrailer", TRAILER, PROFILE, 0, OK, stamped({}, PROFILE, TRAILER)},
      {"UnsignAnUnsignedImage", PLAIN, PROFILE, UNSIGN, OK, WITH_PROFILE},
      {"Replace", WITH_PROFILE, OTHER, REPLACE, OK, stamped(DATA, OTHER, TRAILER)},
      {"ReplaceWhereThereIsNone", PLAIN, PROFILE, REPLACE, OK, WITH_PROFILE},
      {"ProfilePresent", WITH_PROFILE, OTHER, 0, REFUSED, {}},
      {"Signed", signedImage(PLAIN, BLOB), PROFILE, 0, REFUSED, {}},
      {"SignedUnsigned", signedImage(PLAIN, BLOB), PROFILE, UNSIGN, OK, WITH_PROFILE},
      {"SignedAfterStampingReplaced", signedImage(WITH_PROFILE, BLOB), OTHER, UNSIGN | REPLACE, OK,
       stamped(DATA, OTHER, TRAILER)},
      {"SignedAfterStampingNotReplaced", signedImage(WITH_PROFILE, BLOB), OTHER, UNSIGN, REFUSED, {}},
      {"SignatureFieldsThatFitNothing",
       cat({DATA, withSignatureFields(TRAILER, 5000, 100)}),
       PROFILE,
       UNSIGN,
       REFUSED,
       {}},
      {"NoTrailer", pattern(1000, 5), PROFILE, 0, REFUSED, {}},
      {"ShorterThanATrailer", pattern(10, 5), PROFILE, 0, REFUSED, {}},
      {"DamagedDescriptor", damaged, OTHER, REPLACE, REFUSED, {}},
  };
}

class Recipe : public ::testing::TestWithParam<Case> {};

TEST_P(Recipe, IsWhatTheCommandLineWrites) {
  const Case& c = GetParam();
  TempDir dir;
  const std::string image = dir.file("image.dmg");
  const std::string profile = dir.file("profile.bin");
  writeFile(image, c.image);
  writeFile(profile, c.profile);
  const fileio::Fd imageFd(open(image.c_str(), O_RDONLY | O_CLOEXEC));
  const fileio::Fd profileFd(open(profile.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(imageFd.valid() && profileFd.valid());
  // The calls read with pread: a descriptor a server also reads from keeps
  // its offset.
  ASSERT_EQ(lseek(imageFd.get(), 7, SEEK_SET), 7);
  ASSERT_EQ(lseek(profileFd.get(), 3, SEEK_SET), 3);

  Made made;
  make(made, imageFd.get(), profileFd.get(), c.options, image);
  EXPECT_EQ(lseek(imageFd.get(), 0, SEEK_CUR), 7);
  EXPECT_EQ(lseek(profileFd.get(), 0, SEEK_CUR), 3);
  ASSERT_EQ(made.status, c.status) << made.message;

  const RunResult written = stampWrite(image, profile, c.options, {"--out", "-"});
  if (c.status != BRACKWELL_RECIPE_OK) {
    EXPECT_EQ(written.exitCode, 1);
    EXPECT_EQ(written.out, "");
    EXPECT_EQ(written.err, "brackwell-stamp: " + made.message + "\n");
    return;
  }
  const brackwell_recipe& recipe = *made.recipe;
  const Bytes whole = assembled(image, recipe);
  EXPECT_EQ(recipe.size, recipe.keep + recipe.tail_length);
  EXPECT_EQ(recipe.size, whole.size());
  EXPECT_TRUE(whole == c.expected) << "the recipe's image differs from the expected one";
  ASSERT_EQ(written.exitCode, 0) << written.err;
  EXPECT_TRUE(text(whole) == written.out) << "the recipe's image differs from what write --out - writes";

  const RunResult dryRun = stampWrite(image, profile, c.options, {"--out", "-", "--dry-run", "--json"});
  ASSERT_EQ(dryRun.exitCode, 0) << dryRun.err;
  const nlohmann::json plan = nlohmann::json::parse(dryRun.out, nullptr, false);
  ASSERT_TRUE(plan.is_object()) << dryRun.out;
  EXPECT_EQ(std::string(recipe.etag), plan.value("etag", std::string()));
  EXPECT_EQ(recipe.size, plan.value("size", std::uint64_t{0}));
  EXPECT_EQ(std::strlen(recipe.etag), std::size_t{BRACKWELL_RECIPE_ETAG_LENGTH});
}

INSTANTIATE_TEST_SUITE_P(Images, Recipe, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& row) { return row.param.name; });

// The validator changes with what makes the new image, and with nothing
// else: the same files give the same one, another profile or another
// version of the image another.
TEST(RecipeValidator, FollowsTheImageAndTheProfile) {
  TempDir dir;
  writeFile(dir.file("image.dmg"), PLAIN);
  writeFile(dir.file("a.bin"), PROFILE);
  writeFile(dir.file("b.bin"), OTHER);
  const auto etagOf = [&dir](const std::string& profile) {
    const fileio::Fd image(open(dir.file("image.dmg").c_str(), O_RDONLY | O_CLOEXEC));
    const fileio::Fd bytes(open(dir.file(profile).c_str(), O_RDONLY | O_CLOEXEC));
    Made made;
    make(made, image.get(), bytes.get(), 0, "image.dmg");
    return made.status == BRACKWELL_RECIPE_OK ? std::string(made.recipe->etag) : made.message;
  };
  const std::string first = etagOf("a.bin");
  EXPECT_EQ(etagOf("a.bin"), first);
  EXPECT_NE(etagOf("b.bin"), first);
  const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.file("image.dmg").c_str(), anHourAgo, 0), 0);
  EXPECT_NE(etagOf("a.bin"), first) << "another modification time is another version";
}

// What cannot be read at all, with the message a server logs.
struct UnreadableCase {
  std::string name;
  std::function<void(const TempDir&)> setUp;
  std::string image;   // a path in the directory; empty: a descriptor that is not open
  std::string profile; // the same
  std::string message; // {DIR} is the directory
};

void PrintTo(const UnreadableCase& row, std::ostream* os) {
  *os << row.name;
}

class Unreadable : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(Unreadable, IsSaidAndNothingIsHandedOut) {
  const UnreadableCase& c = GetParam();
  TempDir dir;
  writeFile(dir.file("image.dmg"), PLAIN);
  writeFile(dir.file("profile.bin"), PROFILE);
  c.setUp(dir);
  const auto openIn = [&dir](const std::string& name) {
    return fileio::Fd(name.empty() ? -1 : open(dir.file(name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  };
  const fileio::Fd image = openIn(c.image);
  const fileio::Fd profile = openIn(c.profile);
  Made made;
  make(made, image.get(), profile.get(), 0, dir.file("image.dmg"));
  EXPECT_EQ(made.status, BRACKWELL_RECIPE_UNREADABLE);
  EXPECT_EQ(made.message, testsupport::expandDir(c.message, dir));
}

INSTANTIATE_TEST_SUITE_P(
    Files, Unreadable,
    ::testing::ValuesIn(std::vector<UnreadableCase>{
        {"ImageIsADirectory", [](const TempDir& dir) { ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0); },
         "d", "profile.bin", "'{DIR}/image.dmg' is not a regular file"},
        {"ImageNotOpen", [](const TempDir&) {}, "", "profile.bin",
         "cannot examine image '{DIR}/image.dmg': Bad file descriptor"},
        {"ProfileIsADirectory", [](const TempDir& dir) { ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0); },
         "image.dmg", "d", "the profile is not a regular file"},
        {"ProfileIsAFifo", [](const TempDir& dir) { ASSERT_EQ(mkfifo(dir.file("f").c_str(), 0600), 0); },
         "image.dmg", "f", "the profile is not a regular file"},
        {"ProfileNotOpen", [](const TempDir&) {}, "image.dmg", "",
         "cannot examine the profile: Bad file descriptor"},
    }),
    [](const ::testing::TestParamInfo<UnreadableCase>& row) { return row.param.name; });

// A profile one byte longer than its length field can hold is refused from
// its size, as the command line refuses it, without reading it. The file
// is sparse, so it costs no disk.
TEST(RecipeProfile, BeyondTheLengthFieldIsRefused) {
  TempDir dir;
  writeFile(dir.file("image.dmg"), PLAIN);
  writeFile(dir.file("profile.bin"), Bytes{});
  ASSERT_EQ(truncate(dir.file("profile.bin").c_str(), off_t{0xffffffff} + 1), 0);
  const fileio::Fd image(open(dir.file("image.dmg").c_str(), O_RDONLY | O_CLOEXEC));
  const fileio::Fd profile(open(dir.file("profile.bin").c_str(), O_RDONLY | O_CLOEXEC));
  Made made;
  make(made, image.get(), profile.get(), 0, dir.file("image.dmg"));
  EXPECT_EQ(made.status, BRACKWELL_RECIPE_REFUSED);
  EXPECT_EQ(made.message,
            "the profile is 4294967296 bytes long; its 32-bit length field allows at most 4294967295");
  const RunResult written = stampWrite(dir.file("image.dmg"), dir.file("profile.bin"), 0, {"--out", "-"});
  EXPECT_EQ(written.err, "brackwell-stamp: " + made.message + "\n");
}

// A profile that does not fit in the memory the process may have: a status
// and a message, not an exception through C. Run in a child whose address
// space is limited; the sanitizers reserve more address space than any such
// limit allows.
TEST(RecipeProfile, TooLargeForMemoryIsNoMemory) {
  if (std::getenv("BRACKWELL_SANITIZED") != nullptr) {
    GTEST_SKIP() << "the sanitizers reserve terabytes of address space: no address-space limit fits them";
  }
  TempDir dir;
  writeFile(dir.file("image.dmg"), PLAIN);
  writeFile(dir.file("profile.bin"), Bytes{});
  ASSERT_EQ(truncate(dir.file("profile.bin").c_str(), off_t{0xffffffff}), 0); // sparse
  const fileio::Fd image(open(dir.file("image.dmg").c_str(), O_RDONLY | O_CLOEXEC));
  const fileio::Fd profile(open(dir.file("profile.bin").c_str(), O_RDONLY | O_CLOEXEC));
  int toParent[2];
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(toParent[0]);
    const rlimit limit{rlim_t{1} << 30, rlim_t{1} << 30};
    char message[MESSAGE_SIZE] = "";
    brackwell_recipe* recipe = nullptr;
    const int status = setrlimit(RLIMIT_AS, &limit) != 0
                           ? 100
                           : brackwell_recipe_make(image.get(), profile.get(), 0, "image.dmg", &recipe,
                                                   message, sizeof message);
    const std::string report = std::to_string(status) + " " + message;
    const ssize_t wrote = write(toParent[1], report.data(), report.size());
    _exit(wrote == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  close(toParent[1]);
  std::string report;
  char buffer[256];
  for (ssize_t got; (got = read(toParent[0], buffer, sizeof buffer)) > 0;) {
    report.append(buffer, static_cast<std::size_t>(got));
  }
  close(toParent[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child died: " << status;
  EXPECT_EQ(report, std::to_string(BRACKWELL_RECIPE_NO_MEMORY) +
                        " not enough memory to hold the profile of 4294967295 bytes (the new image's tail is "
                        "made in memory)");
}

// The caller's message buffer is written within its size, and always ends
// in a NUL when it has room for one.
TEST(RecipeMessage, FitsTheBufferItIsGiven) {
  TempDir dir;
  writeFile(dir.file("image.dmg"), pattern(1000, 5)); // no trailer
  writeFile(dir.file("profile.bin"), PROFILE);
  const fileio::Fd image(open(dir.file("image.dmg").c_str(), O_RDONLY | O_CLOEXEC));
  const fileio::Fd profile(open(dir.file("profile.bin").c_str(), O_RDONLY | O_CLOEXEC));
  const std::string whole = "'image.dmg' does not end in a 512-byte UDIF trailer ('koly' block not found)";
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{12},
                                 whole.size(), whole.size() + 1, whole.size() + 10}) {
    SCOPED_TRACE("buffer of " + std::to_string(size));
    std::vector<char> buffer(size + 8, '#'); // 8 guard bytes past the end
    brackwell_recipe* recipe = nullptr;
    EXPECT_EQ(brackwell_recipe_make(image.get(), profile.get(), 0, "image.dmg", &recipe, buffer.data(), size),
              BRACKWELL_RECIPE_REFUSED);
    EXPECT_EQ(recipe, nullptr);
    const std::size_t kept = size == 0 ? 0 : std::min(size - 1, whole.size());
    const std::string expected = whole.substr(0, kept) + (size == 0 ? "" : std::string(1, '\0'));
    EXPECT_EQ(std::string(buffer.data(), expected.size()), expected);
    EXPECT_EQ(std::string(buffer.data() + expected.size(), buffer.size() - expected.size()),
              std::string(buffer.size() - expected.size(), '#'));
  }
}

} // namespace
