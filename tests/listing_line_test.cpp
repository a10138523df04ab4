#include "inventory/listing_line.h"

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

// matchListingLine beside std::regex on LISTING_LINE_PATTERN.
MatcherComparison comparison() {
  static const std::regex pattern(LISTING_LINE_PATTERN);
  return MatcherComparison(
      pattern,
      [](std::string_view line) -> std::optional<TwoGroups> {
        const std::optional<ListingLine> m = matchListingLine(line);
        return m ? testsupport::groupsIn(line, m->key, m->value) : std::nullopt;
      },
      "line", "key", "value");
}

struct Expected {
  std::string key;
  std::string value;
};

struct LineCase {
  const char* name;
  std::string line;
  std::optional<Expected> expected;
};

std::ostream& operator<<(std::ostream& os, const LineCase& c) {
  return os << c.name;
}

class ListingLineCases : public testing::TestWithParam<LineCase> {};

TEST_P(ListingLineCases, SplitsLikeTheRegexEngine) {
  const LineCase& c = GetParam();
  const std::optional<ListingLine> got = matchListingLine(c.line);
  ASSERT_EQ(got.has_value(), c.expected.has_value()) << visible(c.line);
  if (got) {
    EXPECT_EQ(got->key, c.expected->key);
    EXPECT_EQ(got->value, c.expected->value);
  }
  // The row itself must agree with the engine the pattern was written for.
  const MatcherComparison both = comparison();
  EXPECT_EQ(both.describe(c.line, both.byRegex(c.line)), both.describe(c.line, both.byMatcher(c.line)));
}

std::vector<LineCase> lineCases() {
  return {
      {"ImagePath", "image-path      : /Users/me/Setup.dmg", Expected{"image-path", "/Users/me/Setup.dmg"}},
      {"SurroundingWhiteSpaceIsDropped", " \t image-alias : /Users/me/Alias.dmg \t ",
       Expected{"image-alias", "/Users/me/Alias.dmg"}},
      {"SpacesInsideKeyAndValueAreKept", "mount point : /Volumes/My Disk",
       Expected{"mount point", "/Volumes/My Disk"}},
      {"TabsAroundColon", "image-path\t:\t/a.dmg", Expected{"image-path", "/a.dmg"}},
      {"VerticalTabAndFormFeedAroundColon", "abc\v:\fdef", Expected{"abc", "def"}},
      {"ColonWithoutSpacesStaysInValue", "image-path : /a:b.dmg", Expected{"image-path", "/a:b.dmg"}},
      {"ThreeCharacterKeyAndValue", "abc : def", Expected{"abc", "def"}},
      {"WhiteSpaceInsideThreeCharacterKey", "a b : c d", Expected{"a b", "c d"}},
      {"TwoCharacterKey", "ab : def", std::nullopt},
      {"TwoCharacterValue", "abc : de", std::nullopt},
      {"CarriageReturnAtEndIsAbsorbed", "image-path : /a.dmg\r", Expected{"image-path", "/a.dmg"}},
      {"CarriageReturnInsideValue", "image-path : /a\r.dmg", std::nullopt},
      {"CarriageReturnInsideKey", "image\r-path : /a.dmg", std::nullopt},
      {"CarriageReturnNextToColonIsSeparator", "abc \r:\r def", Expected{"abc", "def"}},
      {"CarriageReturnBeforeLastColonBelongsToNoGroup", "abc : def\r : ghi", Expected{"abc : def", "ghi"}},
      {"CarriageReturnBetweenColonsSpoilsBoth", "abc : d\ref : ghi", std::nullopt},
      {"LineFeedIsWhiteSpaceAroundColon", "abc\n:\ndef", Expected{"abc", "def"}},
      {"LineFeedInsideValue", "abc : d\nef", std::nullopt},
      {"LastSeparatorWins", "image-path : a : bcd", Expected{"image-path : a", "bcd"}},
      {"LastSeparatorWithShortValueIsSkipped", "image-path : a : bc", Expected{"image-path", "a : bc"}},
      {"ValueWithSeparatorHidesTheKey", "image-alias : My : Disk.dmg",
       Expected{"image-alias : My", "Disk.dmg"}},
      {"NoSpaceBeforeColon", "image-path: /a.dmg", std::nullopt},
      {"NoSpaceAfterColon", "image-path :/a.dmg", std::nullopt},
      {"NoColon", "image-path /a.dmg", std::nullopt},
      {"SeparatorOnly", "  :  ", std::nullopt},
      {"EmptyLine", "", std::nullopt},
      {"WhiteSpaceOnly", " \t\r", std::nullopt},
      {"ColonsAsKeyAndValue", ":: : ::", std::nullopt},
      {"ColonsAsThreeCharacterGroups", "::: : :::", Expected{":::", ":::"}},
  };
}

INSTANTIATE_TEST_SUITE_P(Table, ListingLineCases, testing::ValuesIn(lineCases()),
                         [](const testing::TestParamInfo<LineCase>& row) {
                           return std::string(row.param.name);
                         });

// Every line of up to nine characters over space, colon, an ordinary character
// and the carriage return: nine is the shortest matching line ("aaa : aaa"),
// so every shape of a minimal match and its near misses is covered.
TEST(ListingLineDifferential, AllShortLinesAgreeWithRegex) {
  MatcherComparison both = comparison();
  std::size_t checked = 0;
  std::string failure;
  testsupport::forEachString(" :a\r", 9, [&](const std::string& line) {
    failure = both.disagreement(line);
    ++checked;
    return failure.empty();
  });
  ASSERT_EQ(failure, "");
  RecordProperty("lines", std::to_string(checked));
  RecordProperty("matches", std::to_string(both.matches()));
  EXPECT_EQ(checked, 349525u); // 4^0 + ... + 4^9
  EXPECT_GT(both.matches(), 0u) << "no line matched";
}

// Random lines over the characters the pattern treats differently: the six
// white-space characters minus the line feed, the colon and ordinary ones.
TEST(ListingLineDifferential, RandomCharacterLinesAgreeWithRegex) {
  const std::string alphabet = " \t\r\v\f:ab/";
  MatcherComparison both = comparison();
  std::mt19937 rng(7); // raw mt19937 output is the same on every standard library
  const std::size_t count = 200000;
  for (std::size_t n = 0; n < count; ++n) {
    std::string line;
    const std::size_t length = rng() % 11;
    for (std::size_t i = 0; i < length; ++i) {
      line += alphabet[rng() % alphabet.size()];
    }
    ASSERT_EQ(both.disagreement(line), "");
  }
  RecordProperty("lines", std::to_string(count));
  RecordProperty("matches", std::to_string(both.matches()));
  EXPECT_GT(both.matches(), 0u) << "no random line matched";
}

// Random lines built from pieces, so that several separators, groups of about
// three characters and line breaks in every position are frequent.
TEST(ListingLineDifferential, RandomPieceLinesAgreeWithRegex) {
  const std::vector<std::string> pieces = {"a",     "bc", "def", " ",  "\t", " : ",
                                           "\t:\v", ":",  "\r",  "\n", "\f", "/"};
  MatcherComparison both = comparison();
  std::mt19937 rng(11);
  const std::size_t count = 100000;
  for (std::size_t n = 0; n < count; ++n) {
    std::string line;
    const std::size_t length = rng() % 9;
    for (std::size_t i = 0; i < length; ++i) {
      line += pieces[rng() % pieces.size()];
    }
    ASSERT_EQ(both.disagreement(line), "");
  }
  RecordProperty("lines", std::to_string(count));
  RecordProperty("matches", std::to_string(both.matches()));
  EXPECT_GT(both.matches(), count / 50) << "the generator hardly produces matching lines";
}

constexpr std::size_t MIB = 1024 * 1024;

std::string repeatUpTo(const std::string& unit, std::size_t size) {
  std::string out;
  while (out.size() + unit.size() <= size) {
    out += unit;
  }
  return out;
}

// A line without white space makes a backtracking engine try every way of
// spreading it over \S+.+\S+ before the missing separator fails it: cubic in
// the length, seconds for one kilobyte. Colons with white space on one side
// only are the near misses of a separator.
TEST(ListingLineLong, MebibyteWithoutSeparatorDoesNotMatch) {
  for (const std::string unit : {"image-path:/a", "ab :cd: ef "}) {
    const std::string line = repeatUpTo(unit, MIB);
    ASSERT_GT(line.size(), MIB - unit.size());
    EXPECT_FALSE(matchListingLine(line).has_value()) << "line of '" << unit << "'";
  }
}

TEST(ListingLineLong, MebibyteOfSeparatorsSplitsAtLastValidOne) {
  const std::string body = repeatUpTo("k : ", MIB);
  const std::string line = body + "v"; // the last separator leaves a one-character value
  const std::optional<ListingLine> got = matchListingLine(line);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->key, body.substr(0, body.size() - 7));
  EXPECT_EQ(got->value, "k : v");
}

TEST(ListingLineLong, MebibyteOfSeparatorsOnlyTakesColonsAsGroups) {
  const std::string line = repeatUpTo(" :", MIB);
  const std::optional<ListingLine> got = matchListingLine(line);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->key, line.substr(1, line.size() - 7));
  EXPECT_EQ(got->value, ": :");
}

// One carriage return in the middle is inside the value of every separator to
// its left and inside the key of every one to its right.
TEST(ListingLineLong, MebibyteOfSeparatorsWithCarriageReturnInTheMiddleDoesNotMatch) {
  const std::string half = repeatUpTo("key : ", MIB / 2);
  const std::string line = half + "x\rx" + half;
  EXPECT_FALSE(matchListingLine(line).has_value());
}

TEST(ListingLineLong, FiftyThousandCharacterAliasStillMatches) {
  std::string alias = "/Users/me/Library/Images/";
  while (alias.size() < 50000) {
    alias += "My Disk: part ";
  }
  alias += "final.dmg";
  const std::string line = "  image-alias : " + alias + " \r";
  const std::optional<ListingLine> got = matchListingLine(line);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->key, "image-alias");
  EXPECT_EQ(got->value, alias);
  EXPECT_EQ(got->value.data(), line.data() + 16);
}

} // namespace
