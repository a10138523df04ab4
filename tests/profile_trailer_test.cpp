#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "profile/profile_trailer.h"
#include "support/test_support.h"

using testsupport::Bytes;
using testsupport::pattern;
using testsupport::toBytes;

namespace {

// Offsets counted back from the end of an image made by stamped().
constexpr std::size_t LENGTH_AT = 528;
constexpr std::size_t TYPE_AT = 524;
constexpr std::size_t MAGIC_END_AT = 513;
constexpr std::size_t SIGNATURE_AT = 512;

struct ReadCase {
  std::string name;
  Bytes image;
  bool ok;
  Bytes profile;          // expected on success
  std::string extraLines; // printed after the "Extracting" line
};

Bytes patched(Bytes image, std::size_t fromEnd, std::initializer_list<std::uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), image.end() - static_cast<std::ptrdiff_t>(fromEnd));
  return image;
}

std::vector<ReadCase> readCases() {
  const Bytes data(1000, 0xee);
  const Bytes profile = toBytes("license=ACME-0042\n");
  const Bytes image = testsupport::stamped(data, profile);
  Bytes trailerOnly = testsupport::udifTrailer();
  Bytes trailer527 = trailerOnly;
  trailer527.insert(trailer527.begin(), 15, 'A');
  Bytes length256AsLittleEndian =
      patched(testsupport::stamped(Bytes(65536, 0), pattern(256)), LENGTH_AT, {0x00, 0x00, 0x01, 0x00});
  Bytes fitsExactly = patched(testsupport::stamped({}, profile), LENGTH_AT, {0, 0, 0, 18});
  Bytes oneTooLong = patched(testsupport::stamped({}, profile), LENGTH_AT, {0, 0, 0, 19});

  return {
      {"ProfileInFrontOfDescriptor", image, true, profile, ""},
      {"EmptyProfile", testsupport::stamped(data, {}), true, {}, ""},
      {"LengthIsBigEndian", length256AsLittleEndian, true, pattern(256), ""},
      {"ProfileStartsAtFirstByte", testsupport::stamped({}, pattern(256)), true, pattern(256), ""},
      {"LengthFillsWholeFile", fitsExactly, true, profile, ""},
      {"LargeProfile", testsupport::stamped(data, pattern(3 << 20)), true, pattern(3 << 20), ""},
      // Large enough that the reader maps its buffer up front, and not a
      // whole number of pages.
      {"ProfileOfManyPages", testsupport::stamped(data, pattern((5 << 20) + 3)), true, pattern((5 << 20) + 3),
       ""},
      {"EmptyFile", {}, false, {}, "'koly' block not found\n"},
      {"ShorterThanTrailer", Bytes(511, 'k'), false, {}, "'koly' block not found\n"},
      {"SignatureInUpperCase",
       patched(image, SIGNATURE_AT, {'K', 'O', 'L', 'Y'}),
       false,
       {},
       "'koly' block not found\n"},
      {"NoTrailer", Bytes(4096, 0), false, {}, "'koly' block not found\n"},
      {"TrailerAloneHasNoDescriptor", trailerOnly, false, {}, "Embedded data not of type 'A'\n"},
      {"TrailerWithPartOfADescriptor", trailer527, false, {}, "Embedded data not of type 'A'\n"},
      {"TypeInLowerCase", patched(image, TYPE_AT, {'a'}), false, {}, "Embedded data not of type 'A'\n"},
      {"TypeCheckedBeforeMagic",
       patched(patched(image, TYPE_AT, {'B'}), MAGIC_END_AT + 1, {0}),
       false,
       {},
       "Embedded data not of type 'A'\n"},
      {"MagicDiffersInLastByte",
       patched(image, MAGIC_END_AT + 1, {0xbc}),
       false,
       {},
       "Magic string mismatch\n"},
      {"MagicDiffersInFirstByte", patched(image, TYPE_AT - 1, {0x00}), false, {}, "Magic string mismatch\n"},
      {"LengthOneBeyondFile",
       oneTooLong,
       false,
       {},
       "Profile length 19 exceeds the 18 bytes in front of its descriptor\n"},
      {"DamagedLengthAsksForNothing",
       patched(image, LENGTH_AT, {0xff, 0xff, 0xff, 0xff}),
       false,
       {},
       "Profile length 4294967295 exceeds the 1018 bytes in front of its descriptor\n"},
  };
}

// Failure messages name the row instead of dumping its bytes.
void PrintTo(const ReadCase& row, std::ostream* os) {
  *os << row.name;
}

class ReadProfile : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadProfile, ReturnsProfileOrReportsWhy) {
  const ReadCase& c = GetParam();
  testsupport::TempDir dir;
  const std::string path = dir.file("image.dmg");
  testsupport::writeFile(path, c.image);

  testsupport::CoutCapture capture;
  const ProfileReadResult result = readProfileFrom(path);

  EXPECT_EQ(capture.text(), "Extracting profile from DMG at '" + path + "'\n" + c.extraLines);
  EXPECT_EQ(result.first, c.ok);
  EXPECT_EQ(result.second, c.ok ? c.profile : Bytes{});
}

// The stamping tool reads an image's end once and decides from those bytes;
// the decision must be the one the reader makes from the file.
TEST_P(ReadProfile, LocateInEndDecidesAsLocateDoes) {
  const ReadCase& c = GetParam();
  testsupport::TempDir dir;
  const std::string path = dir.file("image.dmg");
  testsupport::writeFile(path, c.image);
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const profile_trailer::Location fromFile = profile_trailer::locate(fd);
  close(fd);

  const std::size_t endSize =
      std::min<std::size_t>(c.image.size(), profile_trailer::TRAILER_SIZE + profile_trailer::DESCRIPTOR_SIZE);
  const Bytes end(c.image.end() - static_cast<std::ptrdiff_t>(endSize), c.image.end());
  const profile_trailer::Location fromEnd = profile_trailer::locateInEnd(end.data(), c.image.size());

  EXPECT_EQ(fromEnd.status, fromFile.status);
  EXPECT_EQ(fromEnd.fileSize, fromFile.fileSize);
  EXPECT_EQ(fromEnd.profileOffset, fromFile.profileOffset);
  EXPECT_EQ(fromEnd.length, fromFile.length);
  EXPECT_FALSE(fromEnd.readError.has_value());
}

INSTANTIATE_TEST_SUITE_P(Images, ReadProfile, ::testing::ValuesIn(readCases()),
                         [](const ::testing::TestParamInfo<ReadCase>& row) { return row.param.name; });

// Paths that are not image files at all end like a file without a trailer,
// and none of them may block the run.
TEST(ReadProfile, PathsThatAreNoImageFile) {
  testsupport::TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir.file("missing.dmg"), dir.path(), fifo, std::string("/dev/null")}) {
    testsupport::CoutCapture capture;
    const ProfileReadResult result = readProfileFrom(path);
    EXPECT_EQ(capture.text(), "Extracting profile from DMG at '" + path + "'\n'koly' block not found\n")
        << path;
    EXPECT_FALSE(result.first) << path;
    EXPECT_TRUE(result.second.empty()) << path;
  }
}

TEST(ReadProfile, ReportsOnTheStreamItIsGiven) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("x.dmg"), Bytes(600, 0));
  std::ostringstream log;
  testsupport::CoutCapture capture;
  EXPECT_FALSE(readProfileFrom(dir.file("x.dmg"), log).first);
  EXPECT_EQ(log.str(),
            "Extracting profile from DMG at '" + dir.file("x.dmg") + "'\n'koly' block not found\n");
  EXPECT_EQ(capture.text(), "");
}

TEST(Locate, GivesOffsetAndLengthWithoutMovingTheFileOffset) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("x.dmg"), testsupport::stamped(Bytes(100, 0), Bytes(30, 1)));
  const int fd = open(dir.file("x.dmg").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 7, SEEK_SET), 7);
  const profile_trailer::Location location = profile_trailer::locate(fd);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 7);
  close(fd);
  EXPECT_EQ(location.status, profile_trailer::Status::ok);
  EXPECT_EQ(location.fileSize, 100u + 30u + 16u + 512u);
  EXPECT_EQ(location.profileOffset, 100u);
  EXPECT_EQ(location.length, 30u);
}

TEST(EncodeDescriptor, LengthBigEndianThenTypeThenMagic) {
  const auto descriptor = profile_trailer::encodeDescriptor(0x01020304);
  const Bytes expected = {0x01, 0x02, 0x03, 0x04, 'A',  0xba, 0x37, 0x42,
                          0xac, 0x84, 0x27, 0xea, 0x99, 0x7c, 0x65, 0xbb};
  EXPECT_EQ(Bytes(descriptor.begin(), descriptor.end()), expected);
}

} // namespace
