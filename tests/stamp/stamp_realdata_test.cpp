// brackwell-stamp on real disk images made by real tools (beside the
// repository, not in it): every image round-trips through write, extract,
// replace and remove, and brackwell itself, run against the stand-in
// utility, reads back what was stamped. Every image signed by codesign comes
// back from unsign as its unsigned twin, byte for byte, and stamps exactly
// like it.
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fileio/byte_order.h"
#include "profile/profile_trailer.h"
#include "support/listings.h"
#include "support/real_data.h"
#include "support/run_tool.h"
#include "support/test_support.h"

using testsupport::Bytes;
using testsupport::ChildSetup;
using testsupport::pattern;
using testsupport::PROFILE;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::stampIn;
using testsupport::TempDir;
using testsupport::toBytes;

namespace {

using RealImagesStamped = testsupport::RealData;
using RealSignedImages = testsupport::RealData;

// The corpus names its images without a trailer "nokoly".
bool isRealImage(const std::string& path) {
  return std::filesystem::path(path).extension() == ".dmg" && path.find("nokoly") == std::string::npos;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

// Writes `profile` into `image` (replacing when asked) and checks the layout
// against `original`, then that extract and the reader both give it back.
void writeAndReadBack(const TempDir& dir, const std::string& image, const std::string& profilePath,
                      const Bytes& profile, const Bytes& original, bool replace) {
  testsupport::writeFile(profilePath, profile);
  std::vector<std::string> args = {"write", image, profilePath};
  if (replace) {
    args.push_back("--replace");
  }
  const RunResult written = stampIn(dir, args);
  ASSERT_EQ(written.exitCode, 0) << written.err;

  const Bytes stamped = readFile(image);
  const std::size_t front = original.size() - 512;
  ASSERT_EQ(stamped.size(), original.size() + profile.size() + 16);
  EXPECT_TRUE(slice(stamped, 0, front) == slice(original, 0, front))
      << "bytes in front of the insertion point";
  EXPECT_EQ(slice(stamped, front, front + profile.size()), profile);
  const auto descriptor = profile_trailer::encodeDescriptor(static_cast<std::uint32_t>(profile.size()));
  EXPECT_EQ(slice(stamped, front + profile.size(), stamped.size() - 512),
            Bytes(descriptor.begin(), descriptor.end()));
  EXPECT_EQ(slice(stamped, stamped.size() - 512, stamped.size()), slice(original, front, original.size()))
      << "the trailer";

  const RunResult extracted = stampIn(dir, {"extract", image});
  EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
  EXPECT_EQ(toBytes(extracted.out), profile);
  std::ostringstream log;
  const ProfileReadResult read = readProfileFrom(image, log);
  EXPECT_TRUE(read.first) << log.str();
  EXPECT_EQ(read.second, profile);
}

TEST_F(RealImagesStamped, RoundTripGivesProfileAndOriginalBack) {
  const auto images = files("images");
  ASSERT_FALSE(images.empty());
  std::size_t checked = 0;
  std::size_t expected = 0;
  for (const std::string& path : images) {
    if (!isRealImage(path)) {
      continue;
    }
    ++expected;
    SCOPED_TRACE(path);
    const Bytes original = readFile(path);
    TempDir dir;
    const std::string image = dir.file("image.dmg");
    const std::string profilePath = dir.file("profile.bin");
    testsupport::writeFile(image, original);

    writeAndReadBack(dir, image, profilePath, PROFILE, original, false);
    writeAndReadBack(dir, image, profilePath, pattern(5000), original, true);  // longer
    writeAndReadBack(dir, image, profilePath, toBytes("abc"), original, true); // shorter
    const RunResult removed = stampIn(dir, {"remove", image});
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_TRUE(readFile(image) == original) << "remove must give back the original byte for byte";

    writeAndReadBack(dir, image, profilePath, {}, original, false); // empty profile
    const RunResult removedEmpty = stampIn(dir, {"remove", image});
    EXPECT_EQ(removedEmpty.exitCode, 0) << removedEmpty.err;
    EXPECT_TRUE(readFile(image) == original);

    EXPECT_EQ(testsupport::listDirectory(dir.path()), (std::vector<std::string>{"image.dmg", "profile.bin"}));
    ++checked;
  }
  EXPECT_GT(expected, 0u);
  EXPECT_EQ(checked, expected);
}

TEST_F(RealImagesStamped, EncryptedImageWithoutTrailerIsRefused) {
  TempDir work;
  const Bytes original = readFile(path("images/real-nokoly-1.dmg"));
  testsupport::writeFile(work.file("image.dmg"), original);
  testsupport::writeFile(work.file("profile.bin"), PROFILE);
  for (const bool inPlace : {true, false}) {
    std::vector<std::string> args = {"write", work.file("image.dmg"), work.file("profile.bin")};
    if (!inPlace) {
      args.insert(args.end(), {"--out", work.file("out.dmg")});
    }
    const RunResult run = stampIn(work, args);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "brackwell-stamp: '" + work.file("image.dmg") +
                           "' does not end in a 512-byte UDIF trailer ('koly' block not found)\n");
    EXPECT_TRUE(readFile(work.file("image.dmg")) == original);
    EXPECT_EQ(testsupport::listDirectory(work.path()),
              (std::vector<std::string>{"image.dmg", "profile.bin"}));
  }
}

// The whole chain: stamp a real image, present it through the stand-in
// utility as mounted at /Volumes/Setup, run brackwell (BRACKWELL_BIN) on a
// package there, and compare its output file with the profile.
// Signed images (stamped with --unsign) go the same way.
TEST_F(RealImagesStamped, BrackwellReadsWhatWasStamped) {
  std::vector<std::string> images = files("images");
  ASSERT_FALSE(images.empty());
  const std::vector<std::string> signedImages = files("signed");
  images.insert(images.end(), signedImages.begin(), signedImages.end());
  for (const std::string& path : images) {
    if (!isRealImage(path)) {
      continue;
    }
    SCOPED_TRACE(path);
    TempDir dir;
    const std::string image = dir.file("Setup.dmg");
    testsupport::writeFile(image, readFile(path));
    testsupport::writeFile(dir.file("profile.bin"), PROFILE);
    const RunResult stamped = stampIn(dir, {"write", image, dir.file("profile.bin"), "--unsign"});
    ASSERT_EQ(stamped.exitCode, 0) << stamped.err;

    const std::vector<testsupport::Attached> attached = {{image, image, {"/Volumes/Setup"}}};
    testsupport::writeFile(dir.file("info.txt"), testsupport::textListing(attached));
    testsupport::writeFile(dir.file("info.plist"), testsupport::plistListing(attached));
    ChildSetup setup;
    setup.env = {{"BRACKWELL_STANDIN_INFO", dir.file("info.txt")},
                 {"BRACKWELL_STANDIN_PLIST", dir.file("info.plist")}};
    const std::string output = dir.file("profile.out");

    const RunResult run = testsupport::runTool({"/Volumes/Setup/Install.pkg", output}, setup);

    EXPECT_EQ(run.exitCode, 0) << run.out;
    const std::string last = "Profile extracted to: " + output + "\n";
    EXPECT_TRUE(run.out.size() >= last.size() &&
                run.out.compare(run.out.size() - last.size(), last.size(), last) == 0)
        << run.out;
    EXPECT_EQ(readFile(output), PROFILE);
  }
}

// A real signed image and the image it was made from.
struct SignedPair {
  std::string signedPath;
  std::string twinPath;
};

// Every "<name>-signed*.dmg" beside its twin "<name>.dmg".
std::vector<SignedPair> signedPairs() {
  std::vector<SignedPair> pairs;
  for (const std::string& file : testsupport::realdataFiles("signed")) {
    const std::filesystem::path path(file);
    const std::string stem = path.stem().string();
    const std::size_t mark = stem.rfind("-signed");
    if (mark != std::string::npos && path.extension() == ".dmg") {
      pairs.push_back({file, (path.parent_path() / (stem.substr(0, mark) + ".dmg")).string()});
    }
  }
  return pairs;
}

// The signature blob of a signed image, as its trailer records it.
Bytes signatureOf(const Bytes& image) {
  const std::size_t trailer = image.size() - 512;
  const auto offset = static_cast<std::size_t>(fileio::readBigEndian<std::uint64_t>(&image[trailer + 296]));
  const auto length = static_cast<std::size_t>(fileio::readBigEndian<std::uint64_t>(&image[trailer + 304]));
  return slice(image, offset, offset + length);
}

TEST_F(RealSignedImages, UnsignGivesTheTwinAndStampsExactlyLikeIt) {
  const std::vector<SignedPair> pairs = signedPairs();
  ASSERT_FALSE(pairs.empty()) << "no signed image beside its twin";
  std::size_t checked = 0;
  for (const SignedPair& pair : pairs) {
    SCOPED_TRACE(pair.signedPath);
    const Bytes signedImage = readFile(pair.signedPath);
    const Bytes twin = readFile(pair.twinPath);
    TempDir dir;
    testsupport::writeFile(dir.file("signed.dmg"), signedImage);
    testsupport::writeFile(dir.file("twin.dmg"), twin);
    testsupport::writeFile(dir.file("profile.bin"), PROFILE);

    const RunResult toFile = stampIn(dir, {"unsign", "{DIR}/signed.dmg", "--out", "{DIR}/unsigned.dmg"});
    EXPECT_EQ(toFile.exitCode, 0) << toFile.err;
    EXPECT_TRUE(readFile(dir.file("unsigned.dmg")) == twin) << "unsign --out";
    const RunResult toStream = stampIn(dir, {"unsign", "{DIR}/signed.dmg", "--out", "-"});
    EXPECT_EQ(toStream.exitCode, 0) << toStream.err;
    EXPECT_TRUE(toBytes(toStream.out) == twin) << "unsign --out -";

    // write --unsign on the signed image is write on its twin.
    const RunResult viaSigned =
        stampIn(dir, {"write", "{DIR}/signed.dmg", "{DIR}/profile.bin", "--unsign", "--out", "{DIR}/a.dmg"});
    const RunResult viaTwin =
        stampIn(dir, {"write", "{DIR}/twin.dmg", "{DIR}/profile.bin", "--out", "{DIR}/b.dmg"});
    EXPECT_EQ(viaSigned.exitCode, 0) << viaSigned.err;
    EXPECT_EQ(viaTwin.exitCode, 0) << viaTwin.err;
    EXPECT_TRUE(readFile(dir.file("a.dmg")) == readFile(dir.file("b.dmg"))) << "write --unsign";
    std::ostringstream log;
    EXPECT_EQ(readProfileFrom(dir.file("a.dmg"), log).second, PROFILE) << log.str();

    // Unsigned in place, the image is the twin; nothing else is left.
    const RunResult inPlace = stampIn(dir, {"unsign", "{DIR}/signed.dmg"});
    EXPECT_EQ(inPlace.exitCode, 0) << inPlace.err;
    EXPECT_TRUE(readFile(dir.file("signed.dmg")) == twin) << "unsign in place";
    EXPECT_EQ(testsupport::listDirectory(dir.path()),
              (std::vector<std::string>{"a.dmg", "b.dmg", "profile.bin", "signed.dmg", "twin.dmg",
                                        "unsigned.dmg"}));
    ++checked;
  }
  EXPECT_EQ(checked, pairs.size());
}

// Stamped first and signed afterwards (the twin, a profile, its descriptor,
// then the real signature blob and trailer): show explains where the profile
// is, unsign makes it readable, and --unsign lets remove and write work on
// it.
TEST_F(RealSignedImages, StampedThenSignedComesBackWithUnsign) {
  const std::vector<SignedPair> pairs = signedPairs();
  ASSERT_FALSE(pairs.empty()) << "no signed image beside its twin";
  for (const SignedPair& pair : pairs) {
    SCOPED_TRACE(pair.signedPath);
    const Bytes twin = readFile(pair.twinPath);
    const Bytes blob = signatureOf(readFile(pair.signedPath));
    const Bytes stampedTwin = testsupport::stamped(slice(twin, 0, twin.size() - 512), PROFILE,
                                                   slice(twin, twin.size() - 512, twin.size()));
    const Bytes stampedThenSigned = testsupport::signedImage(stampedTwin, blob);
    TempDir dir;
    testsupport::writeFile(dir.file("image.dmg"), stampedThenSigned);
    testsupport::writeFile(dir.file("new.bin"), toBytes("customer=Globex\n"));
    testsupport::writeFile(dir.file("twin.dmg"), twin);

    const std::string front = std::to_string(twin.size() - 512);
    const std::string signatureAt = std::to_string(stampedTwin.size() - 512);
    const RunResult shown = stampIn(dir, {"show", "{DIR}/image.dmg"});
    EXPECT_EQ(shown.exitCode, 3) << "no profile brackwell can read";
    EXPECT_EQ(shown.out,
              "image: " + dir.file("image.dmg") + "\nsize: " + std::to_string(stampedThenSigned.size()) +
                  " bytes\nprofile: none (Embedded data not of type 'A')\ncode signature: offset " +
                  signatureAt + ", length " + std::to_string(blob.size()) +
                  " (valid layout: one signature blob that ends where the trailer begins)\n"
                  "profile in front of the code signature: offset " +
                  front + ", length " + std::to_string(PROFILE.size()) +
                  " (brackwell cannot read it there; 'brackwell-stamp unsign' makes it readable)\n");

    const RunResult unsignedOut = stampIn(dir, {"unsign", "{DIR}/image.dmg", "--out", "-"});
    EXPECT_EQ(unsignedOut.exitCode, 0) << unsignedOut.err;
    EXPECT_TRUE(toBytes(unsignedOut.out) == stampedTwin) << "unsign gives the stamped image before signing";
    const RunResult removed = stampIn(dir, {"remove", "{DIR}/image.dmg", "--unsign", "--out", "-"});
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_TRUE(toBytes(removed.out) == twin) << "remove --unsign gives the twin";
    const RunResult replaced = stampIn(
        dir, {"write", "{DIR}/image.dmg", "{DIR}/new.bin", "--unsign", "--replace", "--out", "{DIR}/a.dmg"});
    const RunResult onTwin =
        stampIn(dir, {"write", "{DIR}/twin.dmg", "{DIR}/new.bin", "--out", "{DIR}/b.dmg"});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(onTwin.exitCode, 0) << onTwin.err;
    EXPECT_TRUE(readFile(dir.file("a.dmg")) == readFile(dir.file("b.dmg"))) << "write --unsign --replace";
    EXPECT_TRUE(readFile(dir.file("image.dmg")) == stampedThenSigned) << "the image was only read";
  }
}

// The real signatures' fields, damaged each way: every command that would
// cut bytes away refuses and leaves the image as it was.
TEST_F(RealSignedImages, DamagedSignatureFieldsAreRefused) {
  const std::vector<SignedPair> pairs = signedPairs();
  ASSERT_FALSE(pairs.empty()) << "no signed image beside its twin";
  for (const SignedPair& pair : pairs) {
    const Bytes original = readFile(pair.signedPath);
    const std::size_t trailer = original.size() - 512;
    const std::uint64_t offset = fileio::readBigEndian<std::uint64_t>(&original[trailer + 296]);
    const std::uint64_t length = fileio::readBigEndian<std::uint64_t>(&original[trailer + 304]);
    const std::uint64_t max = ~std::uint64_t{0};
    struct Damage {
      std::string name;
      std::uint64_t offset;
      std::uint64_t length;
      bool breakMagic;
    };
    const std::vector<Damage> damages = {
        {"OffsetPastTheTrailer", trailer + 1, length, false},    {"LengthWithoutOffset", 0, length, false},
        {"EndsBeforeTheTrailer", offset, length - 1, false},     {"OffsetNear2To64", max, 1, false},
        {"SumWrapsAroundToTheTrailer", trailer + 1, max, false}, {"NoSignatureBlob", offset, length, true},
    };
    for (const Damage& damage : damages) {
      SCOPED_TRACE(pair.signedPath + " " + damage.name);
      Bytes image = original;
      if (damage.breakMagic) {
        image[static_cast<std::size_t>(offset)] ^= 0xff;
      }
      const Bytes tail =
          testsupport::withSignatureFields(slice(image, trailer, image.size()), damage.offset, damage.length);
      std::copy(tail.begin(), tail.end(), image.begin() + static_cast<std::ptrdiff_t>(trailer));
      TempDir dir;
      testsupport::writeFile(dir.file("image.dmg"), image);
      testsupport::writeFile(dir.file("profile.bin"), PROFILE);
      for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
               {"unsign", "{DIR}/image.dmg"},
               {"unsign", "{DIR}/image.dmg", "--out", "-"},
               {"write", "{DIR}/image.dmg", "{DIR}/profile.bin", "--unsign"},
               {"remove", "{DIR}/image.dmg", "--unsign", "--out", "{DIR}/out.dmg"},
           }) {
        const RunResult run = stampIn(dir, args);
        EXPECT_EQ(run.exitCode, 1) << args[0];
        EXPECT_NE(run.err.find("records a code signature"), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
      }
      EXPECT_TRUE(readFile(dir.file("image.dmg")) == image);
      EXPECT_EQ(testsupport::listDirectory(dir.path()),
                (std::vector<std::string>{"image.dmg", "profile.bin"}));
    }
  }
}

} // namespace
