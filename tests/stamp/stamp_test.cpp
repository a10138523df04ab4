// Stamping a profile into an image, taking it out again and taking a code
// signature off, through the library: the exact bytes that result, the
// refusals, and what is left on disk afterwards, for every copy method and
// for both destinations.
#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "fileio/byte_order.h"
#include "stamp/stamp.h"
#include "support/test_support.h"

using stamp::CopyLimit;
using stamp::CopyMethod;
using stamp::Failure;
using stamp::Options;
using stamp::Outcome;
using Result = stamp::Result<Outcome>;
using testsupport::Bytes;
using testsupport::cat;
using testsupport::pattern;
using testsupport::readFile;
using testsupport::signatureBlob;
using testsupport::signedImage;
using testsupport::stamped;
using testsupport::TempDir;
using testsupport::toBytes;
using testsupport::withSignatureFields;
using testsupport::writeFile;

namespace {

// The failure a run's result tells of; nothing when the run succeeded.
std::optional<Failure> failureOf(const Result& result) {
  return result ? std::nullopt : std::optional<Failure>(result.error().failure);
}

// Why the run failed; empty when it succeeded.
std::string messageOf(const Result& result) {
  return result ? std::string() : result.error().message;
}

const std::optional<Failure> SUCCEEDS = std::nullopt;

// A trailer with content of its own beyond "koly" and the version, so that a
// trailer made anew instead of carried over would show.
Bytes trailer(std::uint64_t signatureOffset = 0, std::uint64_t signatureLength = 0) {
  Bytes bytes = testsupport::udifTrailer();
  for (std::size_t i = 16; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 13);
  }
  return withSignatureFields(bytes, signatureOffset, signatureLength);
}

enum class Op { write, remove, unsign };

// Whether the trailer at the end of `image` records a code signature.
bool isSigned(const Bytes& image) {
  return image.size() >= 512 && std::any_of(image.end() - 512 + 296, image.end() - 512 + 312,
                                            [](std::uint8_t byte) { return byte != 0; });
}

struct Case {
  std::string name;
  Op op;
  Bytes image;
  Bytes profile; // what write reads
  bool replace;
  bool unsign;
  std::optional<Failure> failure;
  Bytes expected; // the new image, on success
};

// Failure messages name the row instead of dumping its bytes.
void PrintTo(const Case& row, std::ostream* os) {
  *os << row.name;
}

std::vector<Case> cases() {
  const Bytes data = pattern(1000, 1);
  const Bytes tail = trailer();
  const Bytes profile = pattern(300, 2);
  const Bytes longer = pattern(700, 3);
  const Bytes shorter = toBytes("s");
  const Bytes big = pattern((1 << 20) + 5, 4); // the copy buffers hold 1 MiB
  const Bytes image = cat({data, tail});
  const Bytes withProfile = stamped(data, profile, tail);
  Bytes damaged = withProfile;
  std::fill(damaged.end() - 528, damaged.end() - 524, 0xff); // length 4294967295
  Bytes wrongMagic = withProfile;
  wrongMagic[wrongMagic.size() - 513] ^= 1; // last magic byte
  const Bytes wrongMagicFront(wrongMagic.begin(), wrongMagic.end() - 512);
  // Signed as codesign signs: the blob between the image's own bytes and
  // its trailer. Signed after stamping, the profile lies in front of it.
  const Bytes blob = signatureBlob(2000);
  const Bytes signedPlain = signedImage(image, blob);
  const Bytes signedStamped = signedImage(withProfile, blob);

  const Op W = Op::write;
  const Op R = Op::remove;
  const Op U = Op::unsign;
  const std::optional<Failure> OK = SUCCEEDS;
  return {
      {"InsertsInFrontOfTrailer", W, image, profile, false, false, OK, withProfile},
      {"EmptyProfile", W, image, {}, false, false, OK, stamped(data, {}, tail)},
      {"ImageThatIsOnlyATrailer", W, tail, profile, false, false, OK, stamped({}, profile, tail)},
      {"PrefixLongerThanACopyBuffer", W, cat({big, tail}), profile, false, false, OK,
       stamped(big, profile, tail)},
      {"ProfileLongerThanAReadBuffer", W, image, big, false, false, OK, stamped(data, big, tail)},
      {"ReplaceWithLonger", W, withProfile, longer, true, false, OK, stamped(data, longer, tail)},
      {"ReplaceWithShorter", W, withProfile, shorter, true, false, OK, stamped(data, shorter, tail)},
      {"ReplaceWithEmpty", W, withProfile, {}, true, false, OK, stamped(data, {}, tail)},
      {"ReplaceWhereThereIsNoneInserts", W, image, profile, true, false, OK, withProfile},
      {"DescriptorWithWrongMagicIsNoProfile", W, wrongMagic, profile, false, false, OK,
       stamped(wrongMagicFront, profile, tail)},
      {"ExistingProfileNeedsReplace", W, withProfile, longer, false, false, Failure::profile_present, {}},
      {"DamagedDescriptorRefused", W, damaged, profile, true, false, Failure::damaged_descriptor, {}},
      {"NoTrailer", W, data, profile, false, false, Failure::no_trailer, {}},
      {"ShorterThanATrailer", W, toBytes("koly"), profile, false, false, Failure::no_trailer, {}},
      {"EmptyImage", W, {}, profile, false, false, Failure::no_trailer, {}},
      {"RemoveGivesBackTheImage", R, withProfile, {}, false, false, OK, image},
      {"RemoveEmptyProfile", R, stamped(data, {}, tail), {}, false, false, OK, image},
      {"RemoveProfileAtFirstByte", R, stamped({}, profile, tail), {}, false, false, OK, tail},
      {"RemoveWithoutProfile", R, image, {}, false, false, Failure::no_profile, {}},
      {"RemoveWithoutTrailer", R, data, {}, false, false, Failure::no_trailer, {}},
      {"RemoveDamagedDescriptor", R, damaged, {}, false, false, Failure::damaged_descriptor, {}},

      // Signed images: refused unless the signature comes off too; then the
      // result is exactly what the same work gives on the unsigned image.
      {"SignedImageRefused", W, signedPlain, profile, false, false, Failure::signed_image, {}},
      {"SignedImageRefusedEvenToReplace", W, signedStamped, longer, true, false, Failure::signed_image, {}},
      {"UnsignAndStamp", W, signedPlain, profile, false, true, OK, withProfile},
      {"UnsignAndReplace", W, signedStamped, longer, true, true, OK, stamped(data, longer, tail)},
      {"UnsignedImageAlreadyCarriesAProfile",
       W,
       signedStamped,
       longer,
       false,
       true,
       Failure::profile_present,
       {}},
      {"UnsignOnAnUnsignedImageChangesNothingElse", W, image, profile, false, true, OK, withProfile},
      {"RemoveFromSignedImageRefused", R, signedStamped, {}, false, false, Failure::signed_image, {}},
      {"UnsignAndRemove", R, signedStamped, {}, false, true, OK, image},
      {"SignedImageWithoutProfileHasNoneToRemove", R, signedPlain, {}, false, true, Failure::no_profile, {}},
      {"UnsignGivesTheImageBeforeSigning", U, signedPlain, {}, false, false, OK, image},
      {"UnsignKeepsAProfileStampedBeforeSigning", U, signedStamped, {}, false, false, OK, withProfile},
      {"UnsignOfTheSmallestSignature", U, signedImage(image, signatureBlob(12)), {}, false, false, OK, image},
      {"UnsignWithoutSignature", U, image, {}, false, false, Failure::not_signed, {}},
      {"UnsignWithoutTrailer", U, data, {}, false, false, Failure::no_trailer, {}},
  };
}

Result stampFile(const std::string& image, const std::string& profile, const Options& options) {
  const int fd = open(profile.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << profile;
  const Result outcome = stamp::stampProfile(image, fd, options);
  close(fd);
  return outcome;
}

Result run(Op op, const std::string& image, const std::string& profile, const Options& options) {
  switch (op) {
  case Op::write:
    return stampFile(image, profile, options);
  case Op::remove:
    return stamp::removeProfile(image, options);
  case Op::unsign:
    return stamp::removeSignature(image, options);
  }
  return {};
}

using Param = std::tuple<Case, CopyLimit, bool>; // the case, the copy limit, in place
class StampAndRemove : public ::testing::TestWithParam<Param> {};

TEST_P(StampAndRemove, GivesExactBytesOrRefusesLeavingNothingBehind) {
  const auto& [c, limit, inPlace] = GetParam();
  TempDir dir;
  const std::string image = dir.file("image.dmg");
  const std::string out = dir.file("out.dmg");
  writeFile(image, c.image);
  writeFile(dir.file("profile"), c.profile);
  Options options;
  options.replace = c.replace;
  options.unsign = c.unsign;
  options.copy = limit;
  options.out = inPlace ? "" : out;

  const Result outcome = run(c.op, image, dir.file("profile"), options);

  const bool ok = c.failure == SUCCEEDS;
  EXPECT_EQ(failureOf(outcome), c.failure) << messageOf(outcome);
  EXPECT_EQ(messageOf(outcome).empty(), ok) << messageOf(outcome);
  // No temporary file is left, whatever happened.
  std::vector<std::string> files = {"image.dmg", "profile"};
  if (ok && !inPlace) {
    files = {"image.dmg", "out.dmg", "profile"};
  }
  EXPECT_EQ(testsupport::listDirectory(dir.path()), files);
  if (!ok) {
    EXPECT_EQ(readFile(image), c.image);
    return;
  }
  EXPECT_EQ(readFile(inPlace ? image : out), c.expected);
  if (!inPlace) {
    EXPECT_EQ(readFile(image), c.image);
  }
  const std::size_t added = c.op == Op::write ? c.profile.size() + 16 : 0;
  EXPECT_EQ(outcome->copiedBytes, c.expected.size() - added - 512);
  EXPECT_EQ(outcome->imageSize, c.expected.size());
  EXPECT_EQ(outcome->unsignedImage, isSigned(c.image));
  EXPECT_NE(outcome->copy, CopyMethod::none);
  if (limit == CopyLimit::stream) {
    EXPECT_EQ(outcome->copy, CopyMethod::stream);
  }
  if (limit == CopyLimit::no_clone) {
    EXPECT_NE(outcome->copy, CopyMethod::clone);
  }
}

std::string limitName(CopyLimit limit) {
  switch (limit) {
  case CopyLimit::cheapest:
    return "Cheapest";
  case CopyLimit::no_clone:
    return "NoClone";
  case CopyLimit::stream:
    return "Streamed";
  }
  return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Images, StampAndRemove,
                         ::testing::Combine(::testing::ValuesIn(cases()),
                                            ::testing::Values(CopyLimit::cheapest, CopyLimit::no_clone,
                                                              CopyLimit::stream),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<Param>& row) {
                           return std::get<0>(row.param).name + "_" + limitName(std::get<1>(row.param)) +
                                  (std::get<2>(row.param) ? "_InPlace" : "_ToOut");
                         });

using code_signature::Layout;
using profile_trailer::Status;

// Signature fields of every kind, on a signed image of 1000 data bytes and a
// 2000-byte blob: the trailer begins at 3000.
constexpr std::uint64_t MAX64 = ~std::uint64_t{0};
const Bytes SIGNED_DATA = pattern(1000, 1);
const Bytes SIGNED = signedImage(cat({SIGNED_DATA, trailer()}), signatureBlob(2000));

Bytes signedWithFields(std::uint64_t offset, std::uint64_t length) {
  Bytes image = SIGNED;
  const Bytes tail = withSignatureFields(Bytes(image.end() - 512, image.end()), offset, length);
  std::copy(tail.begin(), tail.end(), image.end() - 512);
  return image;
}

Bytes signedWithBlob(const Bytes& blob) {
  return signedImage(cat({SIGNED_DATA, trailer()}), blob);
}

struct DamagedCase {
  std::string name;
  Bytes image;
  Layout layout;
};

void PrintTo(const DamagedCase& row, std::ostream* os) {
  *os << row.name;
}

std::vector<DamagedCase> damagedSignatures() {
  Bytes wrongMagic = signatureBlob(2000);
  wrongMagic[0] = 0xfb;
  Bytes wrongLength = signatureBlob(2000);
  wrongLength[7] ^= 1; // its own length says 2001
  Bytes tooShort = signatureBlob(12);
  tooShort.resize(8);
  return {
      {"OffsetPastTheTrailer", signedWithFields(3001, 2000), Layout::offset_past_trailer},
      {"LengthWithoutOffset", signedWithFields(0, 2000), Layout::length_without_offset},
      {"EndsBeforeTheTrailer", signedWithFields(1000, 1999), Layout::not_ending_at_trailer},
      {"EndsPastTheTrailer", signedWithFields(1000, 2001), Layout::not_ending_at_trailer},
      {"OffsetNear2To64", signedWithFields(MAX64, 1), Layout::offset_past_trailer},
      {"LengthNear2To64", signedWithFields(1000, MAX64), Layout::not_ending_at_trailer},
      // Offset + length overflows to exactly the trailer's offset.
      {"SumWrapsAroundToTheTrailer", signedWithFields(3001, MAX64), Layout::offset_past_trailer},
      {"OffsetNear2To64SumWrapsToTheTrailer", signedWithFields(MAX64 - 999, 4000),
       Layout::offset_past_trailer},
      {"EmptySignatureAtTheTrailer", signedWithFields(3000, 0), Layout::too_short},
      {"TooShortForASignatureBlob", signedWithBlob(tooShort), Layout::too_short},
      {"NoSignatureBlobAtTheOffset", signedWithBlob(wrongMagic), Layout::no_superblob},
      {"BlobOfAnotherLength", signedWithBlob(wrongLength), Layout::length_mismatch},
  };
}

struct InspectCase {
  std::string name;
  Bytes image;
  Status status;
  std::uint64_t signatureOffset;
  std::uint64_t signatureLength;
  Layout layout;
  std::optional<Status> beforeSignature; // with a valid signature
  std::uint32_t beforeSignatureLength;
};

void PrintTo(const InspectCase& row, std::ostream* os) {
  *os << row.name;
}

std::vector<InspectCase> inspectCases() {
  const Bytes front = pattern(10, 1);
  std::vector<InspectCase> cases = {
      {"UnsignedWithProfile", stamped(front, pattern(5, 2), trailer()), Status::ok, 0, 0, Layout::none,
       std::nullopt, 0},
      {"UnsignedWithout", cat({front, trailer()}), Status::wrong_type, 0, 0, Layout::none, std::nullopt, 0},
      {"BothFieldsBigEndian", cat({front, trailer(0x0102030405060708, 0x1112131415161718)}),
       Status::wrong_type, 0x0102030405060708, 0x1112131415161718, Layout::offset_past_trailer, std::nullopt,
       0},
      {"LengthOnly", stamped({}, {}, trailer(0, 0x8000000000000001)), Status::ok, 0, 0x8000000000000001,
       Layout::length_without_offset, std::nullopt, 0},
      {"NoTrailerNoFields", Bytes(1024, 0xff), Status::no_trailer, 0, 0, Layout::none, std::nullopt, 0},
      {"Signed", SIGNED, Status::wrong_type, 1000, 2000, Layout::valid, Status::wrong_type, 0},
      {"SignedAfterStamping", signedImage(stamped(front, pattern(5, 2), trailer()), signatureBlob(100)),
       Status::wrong_type, 31, 100, Layout::valid, Status::ok, 5},
  };
  for (const DamagedCase& damaged : damagedSignatures()) {
    const Bytes& image = damaged.image;
    const std::uint64_t offset = fileio::readBigEndian<std::uint64_t>(&image[image.size() - 512 + 296]);
    const std::uint64_t length = fileio::readBigEndian<std::uint64_t>(&image[image.size() - 512 + 304]);
    cases.push_back(
        {damaged.name, image, Status::wrong_type, offset, length, damaged.layout, std::nullopt, 0});
  }
  return cases;
}

class Inspect : public ::testing::TestWithParam<InspectCase> {};

TEST_P(Inspect, ReadsProfileStatusAndSignatureFieldsBigEndian) {
  const InspectCase& c = GetParam();
  TempDir dir;
  writeFile(dir.file("x.dmg"), c.image);
  const int fd = open(dir.file("x.dmg").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const stamp::Inspection inspection = stamp::inspect(fd);
  close(fd);
  EXPECT_EQ(inspection.location.status, c.status);
  EXPECT_EQ(inspection.signature.offset, c.signatureOffset);
  EXPECT_EQ(inspection.signature.length, c.signatureLength);
  EXPECT_EQ(inspection.signature.layout, c.layout);
  EXPECT_EQ(inspection.signature.present(), c.signatureOffset != 0 || c.signatureLength != 0);
  ASSERT_EQ(inspection.beforeSignature.has_value(), c.beforeSignature.has_value());
  if (c.beforeSignature) {
    EXPECT_EQ(inspection.beforeSignature->status, *c.beforeSignature);
    if (*c.beforeSignature == Status::ok) {
      EXPECT_EQ(inspection.beforeSignature->length, c.beforeSignatureLength);
    }
    EXPECT_EQ(inspection.beforeSignature->fileSize, c.signatureOffset + 512);
  }
}

INSTANTIATE_TEST_SUITE_P(Images, Inspect, ::testing::ValuesIn(inspectCases()),
                         [](const ::testing::TestParamInfo<InspectCase>& row) { return row.param.name; });

// Signature fields that do not describe a signature that fits the image:
// nothing tells which bytes to cut away, so every command that would cut
// some refuses, with or without --unsign, and writes nothing.
struct Attempt {
  std::string name;
  Op op;
  bool unsign;
};

using DamagedParam = std::tuple<DamagedCase, Attempt, bool>; // in place?
class DamagedSignature : public ::testing::TestWithParam<DamagedParam> {};

TEST_P(DamagedSignature, IsRefusedAndNothingIsWritten) {
  const auto& [c, attempt, inPlace] = GetParam();
  TempDir dir;
  writeFile(dir.file("image.dmg"), c.image);
  writeFile(dir.file("profile"), toBytes("p"));
  Options options;
  options.unsign = attempt.unsign;
  options.out = inPlace ? "" : dir.file("out.dmg");

  const Result outcome = run(attempt.op, dir.file("image.dmg"), dir.file("profile"), options);

  EXPECT_EQ(failureOf(outcome), Failure::bad_signature) << messageOf(outcome);
  EXPECT_EQ(readFile(dir.file("image.dmg")), c.image);
  EXPECT_EQ(testsupport::listDirectory(dir.path()), (std::vector<std::string>{"image.dmg", "profile"}));
}

INSTANTIATE_TEST_SUITE_P(Fields, DamagedSignature,
                         ::testing::Combine(::testing::ValuesIn(damagedSignatures()),
                                            ::testing::Values(Attempt{"Write", Op::write, false},
                                                              Attempt{"WriteUnsign", Op::write, true},
                                                              Attempt{"RemoveUnsign", Op::remove, true},
                                                              Attempt{"Unsign", Op::unsign, false}),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<DamagedParam>& row) {
                           return std::get<0>(row.param).name + "_" + std::get<1>(row.param).name +
                                  (std::get<2>(row.param) ? "_InPlace" : "_ToOut");
                         });

// A profile one byte longer than the length field can hold is refused
// before anything is copied. The file is sparse, so it costs no disk.
TEST(StampProfile, ProfileBeyondTheLengthFieldIsRefused) {
  TempDir dir;
  const Bytes image = cat({pattern(100, 1), trailer()});
  writeFile(dir.file("image.dmg"), image);
  writeFile(dir.file("profile"), Bytes{});
  ASSERT_EQ(truncate(dir.file("profile").c_str(), static_cast<off_t>(stamp::MAX_PROFILE_LENGTH + 1)), 0);
  for (const std::string& out : {std::string(), dir.file("out.dmg")}) {
    Options options;
    options.out = out;
    const Result outcome = stampFile(dir.file("image.dmg"), dir.file("profile"), options);
    EXPECT_EQ(failureOf(outcome), Failure::profile_too_long) << messageOf(outcome);
    EXPECT_EQ(messageOf(outcome),
              "the profile is 4294967296 bytes long; its 32-bit length field allows at most "
              "4294967295");
    EXPECT_EQ(readFile(dir.file("image.dmg")), image);
    EXPECT_EQ(testsupport::listDirectory(dir.path()), (std::vector<std::string>{"image.dmg", "profile"}));
  }
}

struct ModeCase {
  std::string name;
  mode_t imageMode;
  bool inPlace;
  mode_t expected; // with the umask 022
};

void PrintTo(const ModeCase& row, std::ostream* os) {
  *os << row.name;
}

class Permissions : public ::testing::TestWithParam<ModeCase> {};

TEST_P(Permissions, InPlaceKeepsTheImagesModeAnOutputIsLikeACopy) {
  const ModeCase& c = GetParam();
  TempDir dir;
  writeFile(dir.file("image.dmg"), cat({pattern(100, 1), trailer()}));
  writeFile(dir.file("profile"), toBytes("p"));
  ASSERT_EQ(chmod(dir.file("image.dmg").c_str(), c.imageMode), 0);
  const mode_t savedMask = umask(022);
  Options options;
  options.out = c.inPlace ? "" : dir.file("out.dmg");
  const Result outcome = stampFile(dir.file("image.dmg"), dir.file("profile"), options);
  umask(savedMask);
  ASSERT_TRUE(outcome.has_value()) << messageOf(outcome);
  struct stat st {};
  ASSERT_EQ(stat((c.inPlace ? dir.file("image.dmg") : dir.file("out.dmg")).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, Permissions,
                         ::testing::ValuesIn(std::vector<ModeCase>{
                             {"PrivateImage", 0600, true, 0600},
                             {"GroupReadable", 0640, true, 0640},
                             {"ReadOnlyImageIsReplacedNotWrittenTo", 0444, true, 0444},
                             {"Executable", 0755, true, 0755},
                             {"OutputWithinTheUmask", 0666, false, 0644},
                             {"OutputOfPrivateImage", 0600, false, 0600},
                         }),
                         [](const ::testing::TestParamInfo<ModeCase>& row) { return row.param.name; });

// The new image's owner, mode and extended attributes follow one rule,
// whichever way its bytes were copied: in place it is the same file to its
// owner (same owner where the run may set it, same mode), an output is like
// a copy (the runner's, the image's mode within the umask); both carry the
// image's extended attributes, on Linux its user.* ones, as a macOS clone
// carries all of them. A buffered copy once carried none.
struct MetadataCase {
  std::string name;
  bool inPlace;
  CopyLimit limit;
};

void PrintTo(const MetadataCase& row, std::ostream* os) {
  *os << row.name;
}

class NewImageMetadata : public ::testing::TestWithParam<MetadataCase> {};

TEST_P(NewImageMetadata, IsTheSameWhicheverWayTheBytesWereCopied) {
  const MetadataCase& c = GetParam();
  TempDir dir;
  const std::string image = dir.file("image.dmg");
  writeFile(image, cat({pattern(100, 1), trailer()}));
  writeFile(dir.file("profile"), toBytes("p"));
  ASSERT_EQ(chmod(image.c_str(), 0640), 0);
  const std::string binary("\0\xff\x01", 3);
  if (!testsupport::setExtendedAttribute(image, "user.brackwell.origin", "build 7")) {
    GTEST_SKIP() << "the file system of " << dir.path() << " keeps no user.* attributes";
  }
  ASSERT_TRUE(testsupport::setExtendedAttribute(image, "user.brackwell.binary", binary));
  const bool root = geteuid() == 0;
#if defined(__APPLE__)
  const std::map<std::string, std::string> expected =
      testsupport::extendedAttributes(image); // all of them, as a clone carries
#else
  const std::map<std::string, std::string> expected = {{"user.brackwell.binary", binary},
                                                       {"user.brackwell.origin", "build 7"}};
  if (root) {
    // Not the user's: the kernel's namespace, never carried over.
    ASSERT_TRUE(testsupport::setExtendedAttribute(image, "trusted.brackwell", "x"));
  }
#endif
  if (root) {
    ASSERT_EQ(chown(image.c_str(), 65534, 65534), 0);
  }
  const mode_t savedMask = umask(022);
  Options options;
  options.out = c.inPlace ? "" : dir.file("out.dmg");
  options.copy = c.limit;
  const Result outcome = stampFile(image, dir.file("profile"), options);
  umask(savedMask);
  ASSERT_TRUE(outcome.has_value()) << messageOf(outcome);

  const std::string result = c.inPlace ? image : dir.file("out.dmg");
  struct stat st {};
  ASSERT_EQ(stat(result.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  const uid_t owner = root && c.inPlace ? 65534 : geteuid();
  EXPECT_EQ(st.st_uid, owner);
  EXPECT_EQ(testsupport::extendedAttributes(result), expected);
}

INSTANTIATE_TEST_SUITE_P(Paths, NewImageMetadata,
                         ::testing::ValuesIn(std::vector<MetadataCase>{
                             {"InPlaceCheapest", true, CopyLimit::cheapest},
                             {"InPlaceKernelCopy", true, CopyLimit::no_clone},
                             {"InPlaceBuffered", true, CopyLimit::stream},
                             {"OutputCheapest", false, CopyLimit::cheapest},
                             {"OutputKernelCopy", false, CopyLimit::no_clone},
                             {"OutputBuffered", false, CopyLimit::stream},
                         }),
                         [](const ::testing::TestParamInfo<MetadataCase>& row) { return row.param.name; });

// Where the new image goes, and what may not be overwritten.
struct DestinationCase {
  std::string name;
  std::function<void(const TempDir&)> prepare; // beyond image.dmg and profile
  std::string image;                           // relative to the directory
  std::string out;                             // relative; empty: in place
  std::optional<Failure> failure;
  std::string stampedFile; // relative: the file that must now hold the stamped image
};

void PrintTo(const DestinationCase& row, std::ostream* os) {
  *os << row.name;
}

class Destinations : public ::testing::TestWithParam<DestinationCase> {};

TEST_P(Destinations, NewImageLandsInTheRightFile) {
  const DestinationCase& c = GetParam();
  TempDir dir;
  const Bytes image = cat({pattern(100, 1), trailer()});
  const Bytes expected = stamped(pattern(100, 1), toBytes("p"), trailer());
  writeFile(dir.file("image.dmg"), image);
  writeFile(dir.file("profile"), toBytes("p"));
  c.prepare(dir);
  const std::vector<std::string> before = testsupport::listDirectory(dir.path());
  Options options;
  options.out = c.out.empty() ? "" : dir.file(c.out);

  const Result outcome = stampFile(dir.file(c.image), dir.file("profile"), options);

  EXPECT_EQ(failureOf(outcome), c.failure) << messageOf(outcome);
  if (c.failure != SUCCEEDS) {
    EXPECT_EQ(readFile(dir.file("image.dmg")), image);
    EXPECT_EQ(testsupport::listDirectory(dir.path()), before);
    return;
  }
  EXPECT_EQ(readFile(dir.file(c.stampedFile)), expected);
  if (c.stampedFile != "image.dmg") {
    EXPECT_EQ(readFile(dir.file("image.dmg")), image);
  }
}

void nothing(const TempDir&) {}

INSTANTIATE_TEST_SUITE_P(
    Paths, Destinations,
    ::testing::ValuesIn(std::vector<DestinationCase>{
        {"InPlace", nothing, "image.dmg", "", SUCCEEDS, "image.dmg"},
        {"ThroughSymbolicLinkTheTargetChanges",
         [](const TempDir& dir) { ASSERT_EQ(symlink("image.dmg", dir.file("link.dmg").c_str()), 0); },
         "link.dmg", "", SUCCEEDS, "image.dmg"},
        {"OutputReplacesAnExistingFile",
         [](const TempDir& dir) { writeFile(dir.file("out.dmg"), toBytes("old")); }, "image.dmg", "out.dmg",
         SUCCEEDS, "out.dmg"},
        {"OutputThroughSymbolicLinkWritesItsTarget",
         [](const TempDir& dir) {
           writeFile(dir.file("target.dmg"), toBytes("old"));
           ASSERT_EQ(symlink("target.dmg", dir.file("out.dmg").c_str()), 0);
         },
         "image.dmg", "out.dmg", SUCCEEDS, "target.dmg"},
        {"OutputIsTheImage", nothing, "image.dmg", "image.dmg", Failure::output_is_image, ""},
        {"OutputIsAHardLinkToTheImage",
         [](const TempDir& dir) {
           ASSERT_EQ(link(dir.file("image.dmg").c_str(), dir.file("out.dmg").c_str()), 0);
         },
         "image.dmg", "out.dmg", Failure::output_is_image, ""},
        {"OutputIsADirectory",
         [](const TempDir& dir) { ASSERT_EQ(mkdir(dir.file("out.dmg").c_str(), 0755), 0); }, "image.dmg",
         "out.dmg", Failure::output_unusable, ""},
        {"OutputNamesAMissingDirectory", nothing, "image.dmg", "new/", Failure::output_unusable, ""},
        {"OutputInAMissingDirectory", nothing, "image.dmg", "missing/out.dmg", Failure::write_failed, ""},
        {"ImageMissing", nothing, "missing.dmg", "", Failure::image_unreadable, ""},
        {"ImageIsADirectory",
         [](const TempDir& dir) { ASSERT_EQ(mkdir(dir.file("dir.dmg").c_str(), 0755), 0); }, "dir.dmg", "",
         Failure::not_a_regular_file, ""},
        {"ImageIsAFifo", [](const TempDir& dir) { ASSERT_EQ(mkfifo(dir.file("fifo.dmg").c_str(), 0600), 0); },
         "fifo.dmg", "", Failure::not_a_regular_file, ""},
    }),
    [](const ::testing::TestParamInfo<DestinationCase>& row) { return row.param.name; });

TEST(StampProfile, UnreadableProfileLeavesNothingBehind) {
  TempDir dir;
  const Bytes image = cat({pattern(100, 1), trailer()});
  writeFile(dir.file("image.dmg"), image);
  ASSERT_EQ(mkdir(dir.file("profile").c_str(), 0755), 0);
  const int fd = open(dir.file("profile").c_str(), O_RDONLY); // read() fails with EISDIR
  ASSERT_GE(fd, 0);
  const Result outcome = stamp::stampProfile(dir.file("image.dmg"), fd, Options{});
  close(fd);
  EXPECT_EQ(failureOf(outcome), Failure::profile_unreadable) << messageOf(outcome);
  EXPECT_EQ(readFile(dir.file("image.dmg")), image);
  EXPECT_EQ(testsupport::listDirectory(dir.path()), (std::vector<std::string>{"image.dmg", "profile"}));
}

// Something else changes the image while the stamp waits for its profile on
// a pipe: the copy is of an image that is no longer there, so it must not be
// renamed into place (and lose that change).
struct ConcurrentCase {
  std::string name;
  std::function<bool(const std::string& image)> change; // true when the change was made
  Bytes after;                                          // what the image must then hold
};

void PrintTo(const ConcurrentCase& row, std::ostream* os) {
  *os << row.name;
}

const Bytes CONCURRENT_IMAGE = cat({pattern(100, 1), trailer()});

// Stamps `image` (alone in `directory`) in place, and makes `change` to it
// once the run is under way: its temporary file appears once the image is
// open and its prefix copied, and the stamp then waits for the profile on
// the pipe, which arrives after the change.
void expectChangeCaught(const std::string& directory, const std::string& image, const ConcurrentCase& c) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Result outcome;
  std::thread stamping([&] { outcome = stamp::stampProfile(image, fds[0], Options{}); });
  bool started = false;
  for (int i = 0; i < 1000 && !started; ++i) {
    started = testsupport::listDirectory(directory).size() == 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const bool changed = started && c.change(image);
  ASSERT_EQ(::write(fds[1], "p", 1), 1);
  close(fds[1]);
  stamping.join();
  close(fds[0]);
  ASSERT_TRUE(started) << "the temporary file never appeared";
  ASSERT_TRUE(changed);
  EXPECT_EQ(failureOf(outcome), Failure::image_changed) << messageOf(outcome);
  EXPECT_EQ(readFile(image), c.after);
  EXPECT_EQ(testsupport::listDirectory(directory), std::vector<std::string>{"image.dmg"});
}

class ConcurrentChange : public ::testing::TestWithParam<ConcurrentCase> {};

TEST_P(ConcurrentChange, ImageIsNotReplacedWithAStaleCopy) {
  TempDir dir;
  writeFile(dir.file("image.dmg"), CONCURRENT_IMAGE);
  // An hour old, so that any write meanwhile gives it a new modification
  // time, however coarse the file system's clock.
  const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.file("image.dmg").c_str(), anHourAgo, 0), 0);
  expectChangeCaught(dir.path(), dir.file("image.dmg"), GetParam());
}

// Same size, so only the modification time tells.
const ConcurrentCase OVERWRITTEN_AT_THE_SAME_SIZE = {"OverwrittenAtTheSameSize",
                                                     [](const std::string& image) {
                                                       const int fd = open(image.c_str(), O_WRONLY);
                                                       const bool ok =
                                                           fd >= 0 && ::pwrite(fd, "X", 1, 0) == 1;
                                                       close(fd);
                                                       return ok;
                                                     },
                                                     [] {
                                                       Bytes after = CONCURRENT_IMAGE;
                                                       after[0] = 'X';
                                                       return after;
                                                     }()};

// The same rewrite on a file system that keeps times in whole seconds (ext4
// with 128-byte inodes, as HFS+ keeps 1 s and FAT 2 s), of an image written
// just now: the rewrite lands in the very second the image was written, so
// size and time stay as they were. The run waits that granularity out
// before it records the image's version, so the rewrite shows all the same.
#if defined(__linux__)
TEST(ConcurrentChangeOnCoarseTimestamps, SameSizeRewriteInTheSameSecondIsCaught) {
  TempDir dir;
  const std::string mountPoint = dir.file("mnt");
  ASSERT_EQ(mkdir(mountPoint.c_str(), 0755), 0);
  const testsupport::LoopMount seconds("mkfs.ext4 -q -F -I 128", dir.file("fs.img"), 8 << 20, mountPoint);
  if (!seconds.mounted()) {
    GTEST_SKIP() << "no file system with whole-second times: " << seconds.why();
  }
  const std::string directory = mountPoint + "/images";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  writeFile(directory + "/image.dmg", CONCURRENT_IMAGE);
  struct stat st {};
  ASSERT_EQ(stat((directory + "/image.dmg").c_str(), &st), 0);
  ASSERT_EQ(st.st_mtim.tv_nsec, 0) << "this file system keeps nanoseconds after all";
  expectChangeCaught(directory, directory + "/image.dmg", OVERWRITTEN_AT_THE_SAME_SIZE);
}
#endif

INSTANTIATE_TEST_SUITE_P(Changes, ConcurrentChange,
                         ::testing::ValuesIn(std::vector<ConcurrentCase>{
                             {"AppendedTo",
                              [](const std::string& image) {
                                const int fd = open(image.c_str(), O_WRONLY | O_APPEND);
                                const bool ok = fd >= 0 && ::write(fd, "x", 1) == 1;
                                close(fd);
                                return ok;
                              },
                              cat({CONCURRENT_IMAGE, toBytes("x")})},
                             OVERWRITTEN_AT_THE_SAME_SIZE,
                             {"ReplacedByAnotherFile",
                              [](const std::string& image) {
                                writeFile(image + ".other", toBytes("another image"));
                                return rename((image + ".other").c_str(), image.c_str()) == 0;
                              },
                              toBytes("another image")},
                         }),
                         [](const ::testing::TestParamInfo<ConcurrentCase>& row) { return row.param.name; });

} // namespace
