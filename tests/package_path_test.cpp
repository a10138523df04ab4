#include "app/package_path.h"

#include <gtest/gtest.h>

#include "support/two_groups.h"

#include <cstddef>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace {

using testsupport::MatcherComparison;
using testsupport::TwoGroups;
using testsupport::visible;

// matchPackagePath beside std::regex on PACKAGE_PATH_PATTERN.
MatcherComparison comparison() {
  static const std::regex pattern(PACKAGE_PATH_PATTERN);
  return MatcherComparison(
      pattern,
      [](std::string_view path) -> std::optional<TwoGroups> {
        const std::optional<PackagePath> m = matchPackagePath(path);
        return m ? testsupport::groupsIn(path, m->volume, m->package) : std::nullopt;
      },
      "path", "volume", "package");
}

struct Expected {
  std::string volume;
  std::string package;
};

struct PathCase {
  const char* name;
  std::string path;
  std::optional<Expected> expected;
};

std::ostream& operator<<(std::ostream& os, const PathCase& c) {
  return os << c.name;
}

class PackagePathCases : public testing::TestWithParam<PathCase> {};

TEST_P(PackagePathCases, SplitsLikeTheRegexEngine) {
  const PathCase& c = GetParam();
  const std::optional<PackagePath> got = matchPackagePath(c.path);
  ASSERT_EQ(got.has_value(), c.expected.has_value()) << visible(c.path);
  if (got) {
    EXPECT_EQ(got->volume, c.expected->volume);
    EXPECT_EQ(got->package, c.expected->package);
  }
  // The row itself must agree with the engine the pattern was written for.
  const MatcherComparison both = comparison();
  EXPECT_EQ(both.describe(c.path, both.byRegex(c.path)), both.describe(c.path, both.byMatcher(c.path)));
}

using namespace std::string_literals;

std::vector<PathCase> pathCases() {
  return {
      {"PackageAtVolumeRoot", "/Volumes/Setup/Install.pkg", Expected{"/Volumes/Setup", "Install.pkg"}},
      {"TrailingSlashStaysWithPackage", "/Volumes/Setup/Install.pkg/",
       Expected{"/Volumes/Setup", "Install.pkg/"}},
      {"NestedPackageWidensVolume", "/Volumes/Setup/sub/Install.pkg",
       Expected{"/Volumes/Setup/sub", "Install.pkg"}},
      {"DoubleTrailingSlashLeavesSlashAsPackage", "/Volumes/Setup/Install.pkg//",
       Expected{"/Volumes/Setup/Install.pkg", "/"}},
      {"DoubleSlashBeforePackageStaysInVolume", "/Volumes/Setup//Install.pkg",
       Expected{"/Volumes/Setup/", "Install.pkg"}},
      {"ShortestMatch", "/Volumes/a/b", Expected{"/Volumes/a", "b"}},
      {"SpacesAreOrdinary", "/Volumes/My Disk/Install Me.pkg",
       Expected{"/Volumes/My Disk", "Install Me.pkg"}},
      {"NulIsOrdinary", "/Volumes/Se\0tup/x"s, Expected{"/Volumes/Se\0tup"s, "x"}},
      {"NotUnderVolumes", "/Users/me/Install.pkg", std::nullopt},
      {"VolumeWithoutPackage", "/Volumes/Setup", std::nullopt},
      {"VolumeWithTrailingSlashOnly", "/Volumes/Setup/", std::nullopt},
      {"EmptyVolumeName", "/Volumes//Install.pkg", std::nullopt},
      {"OnlySlashesAfterPrefix", "/Volumes///", std::nullopt},
      {"PrefixIsCaseSensitive", "/volumes/Setup/Install.pkg", std::nullopt},
      {"PrefixMustStartThePath", " /Volumes/Setup/Install.pkg", std::nullopt},
      {"VolumesWithoutSlash", "/VolumesSetup/Install.pkg", std::nullopt},
      {"EmptyPath", "", std::nullopt},
      {"LineFeedInPackage", "/Volumes/Setup/Inst\nall.pkg", std::nullopt},
      {"LineFeedAtEnd", "/Volumes/Setup/Install.pkg\n", std::nullopt},
      {"CarriageReturnInVolume", "/Volumes/Set\rup/Install.pkg", std::nullopt},
      {"CarriageReturnAfterLastSlash", "/Volumes/Setup/Install.pkg/\r", std::nullopt},
  };
}

INSTANTIATE_TEST_SUITE_P(Table, PackagePathCases, testing::ValuesIn(pathCases()),
                         [](const testing::TestParamInfo<PathCase>& row) {
                           return std::string(row.param.name);
                         });

struct Sweep {
  const char* what;
  std::string alphabet;
  std::size_t maxLength;
  std::size_t count; // sum of alphabet.size()^n for n = 0..maxLength
};

// Every suffix after the prefix: over slash and an ordinary character long
// enough for several slashes on both sides of the split, and with the two line
// breaks added for the '.' exclusions.
TEST(PackagePathDifferential, AllShortSuffixesAfterVolumesAgreeWithRegex) {
  const std::vector<Sweep> sweeps = {{"split points", "/x", 14, 32767}, {"line breaks", "/x\n\r", 8, 87381}};
  for (const Sweep& sweep : sweeps) {
    SCOPED_TRACE(sweep.what);
    MatcherComparison both = comparison();
    std::size_t checked = 0;
    std::string failure;
    testsupport::forEachString(sweep.alphabet, sweep.maxLength, [&](const std::string& suffix) {
      failure = both.disagreement("/Volumes/" + suffix);
      ++checked;
      return failure.empty();
    });
    ASSERT_EQ(failure, "");
    RecordProperty(std::string(sweep.what) + " paths", std::to_string(checked));
    RecordProperty(std::string(sweep.what) + " matches", std::to_string(both.matches()));
    EXPECT_EQ(checked, sweep.count);
    EXPECT_GT(both.matches(), 0u) << "no path matched";
    EXPECT_LT(both.matches(), checked) << "every path matched";
  }
}

// Random paths, half of them under "/Volumes/" and half starting with a shorter
// part of it, so near misses of the prefix are covered as well.
TEST(PackagePathDifferential, RandomPathsAgreeWithRegex) {
  const std::string alphabet = "/Volumesx\n\r\0"s;
  const std::string prefix = "/Volumes/";
  MatcherComparison both = comparison();
  std::mt19937 rng(20240611); // raw mt19937 output is the same on every standard library
  const std::size_t count = 100000;
  for (std::size_t n = 0; n < count; ++n) {
    const std::size_t kept = rng() % 2 == 0 ? prefix.size() : rng() % prefix.size();
    std::string path = prefix.substr(0, kept);
    const std::size_t tail = rng() % 11;
    for (std::size_t i = 0; i < tail; ++i) {
      path += alphabet[rng() % alphabet.size()];
    }
    ASSERT_EQ(both.disagreement(path), "");
  }
  RecordProperty("paths", std::to_string(count));
  RecordProperty("matches", std::to_string(both.matches()));
  EXPECT_GT(both.matches(), count / 50) << "the generator hardly produces matching paths";
}

// A path far longer than any real one: a recursive engine overflows the stack
// here, the matcher must still split it.
TEST(PackagePathLong, HundredThousandCharacterPathSplitsAtLastSlash) {
  const std::string volume = "/Volumes/" + std::string(60000, 'v');
  const std::string package = std::string(39990, 'p') + ".pkg/";
  const std::string path = volume + "/" + package;
  ASSERT_GE(path.size(), 100000u);
  const std::optional<PackagePath> got = matchPackagePath(path);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->volume.data(), path.data());
  EXPECT_EQ(got->volume, volume);
  EXPECT_EQ(got->package, package);
}

TEST(PackagePathLong, ManyComponentsGiveAllButTheLastToTheVolume) {
  std::string volume = "/Volumes/Setup";
  while (volume.size() < 100000) {
    volume += "/dir";
  }
  const std::string path = volume + "/Install.pkg";
  const std::optional<PackagePath> got = matchPackagePath(path);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->volume, volume);
  EXPECT_EQ(got->package, "Install.pkg");
}

TEST(PackagePathLong, LineBreakAtTheVeryEndRejectsLongPath) {
  const std::string path = "/Volumes/Setup/" + std::string(100000, 'p') + "\r";
  EXPECT_FALSE(matchPackagePath(path).has_value());
}

} // namespace
