// The inventory against listings captured from real systems (see SOURCES.md
// beside them). They live outside the repository; without them these tests
// are skipped.
#include <cctype>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "inventory/image_info.h"
#include "support/real_data.h"
#include "support/test_support.h"

namespace {

// A test's name made of a listing's file name.
std::string testName(std::string file) {
  for (char& ch : file) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) {
      ch = '_';
    }
  }
  return file;
}

// The text of a real listing, or nothing when the file is not there.
std::optional<std::string> readListing(const std::string& name) {
  std::ifstream in(testsupport::realdataDir() + "/listings/" + name, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  // Through the stream buffer rather than istreambuf_iterator, which g++ 12
  // at -O2 flags as a possible null dereference inside libstdc++.
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

template <typename Row> using RealListingTest = testsupport::RealDataWithParam<Row>;

// ---------------------------------------------------------------------------
// "hdiutil info" text listings

struct AliasListing {
  std::string file;
  std::map<std::string, std::string> expected;
};

std::ostream& operator<<(std::ostream& out, const AliasListing& c) {
  return out << c.file;
}

using RealAliasListingTest = RealListingTest<AliasListing>;

TEST_P(RealAliasListingTest, GivesAliasTable) {
  const AliasListing& c = GetParam();
  const std::optional<std::string> text = readListing(c.file);
  ASSERT_TRUE(text) << "real listing " << c.file << " is missing";
  EXPECT_EQ(getImageAliases(*text), c.expected);
}

const std::string TEMP_FOLDER = "/var/folders/19/_zp56lyn21n19vvtr232xxwc0000gn/T/";
const std::string CATALINA = "/Install macOS Catalina Beta.app/Contents/SharedSupport/BaseSystem.dmg";

const AliasListing ALIAS_LISTINGS[] = {
    // One image whose path has spaces; alias equals path.
    {"info-1.txt", {{"/Users/bruno/Desktop/Facture 1.2.4.dmg", "/Users/bruno/Desktop/Facture 1.2.4.dmg"}}},
    // A ram:// disk has no alias, so no entry.
    {"info-2.txt", {}},
    // Filtered output without a final line feed; images inside other images'
    // volumes.
    {"info-3.txt",
     {{"/Volumes/Install macOS Catalina Beta" + CATALINA, "/Volumes/Install macOS Catalina Beta" + CATALINA},
      {"/Volumes/Install macOS Catalina Beta 1" + CATALINA,
       "/Volumes/Install macOS Catalina Beta 1" + CATALINA}}},
    // The alias resolves /var to /private/var.
    {"unverified-info-1.txt",
     {{TEMP_FOLDER + "pdt-maczip-4021173479/UFRII_v10.19.25_mac.dmg",
       "/private" + TEMP_FOLDER + "pdt-maczip-4021173479/UFRII_v10.19.25_mac.dmg"},
      {"/Volumes/CANON_MAC/mac-UFRII-LIPSLX-v101925-05.dmg",
       "/Volumes/CANON_MAC/mac-UFRII-LIPSLX-v101925-05.dmg"},
      {TEMP_FOLDER + "pdt-mac-dmg-2759616230.dmg", "/private" + TEMP_FOLDER + "pdt-mac-dmg-2759616230.dmg"}}},
};

INSTANTIATE_TEST_SUITE_P(Listings, RealAliasListingTest, ::testing::ValuesIn(ALIAS_LISTINGS),
                         [](const ::testing::TestParamInfo<AliasListing>& row) {
                           return testName(row.param.file);
                         });

// ---------------------------------------------------------------------------
// Property-list listings

using Records = std::vector<std::pair<std::string, std::vector<std::string>>>;

struct PlistListing {
  std::string file;
  bool stripLeadingWhiteSpace; // the capture was re-indented and begins with white space
  Records expected;
  std::string output;
};

std::ostream& operator<<(std::ostream& out, const PlistListing& c) {
  return out << c.file;
}

using RealPlistListingTest = RealListingTest<PlistListing>;

TEST_P(RealPlistListingTest, GivesImageInfos) {
  const PlistListing& c = GetParam();
  const std::optional<std::string> listing = readListing(c.file);
  ASSERT_TRUE(listing) << "real listing " << c.file << " is missing";
  std::string text = *listing;
  if (c.stripLeadingWhiteSpace) {
    text.erase(0, text.find_first_not_of(" \t\r\n"));
  }

  testsupport::CoutCapture capture;
  const std::vector<ImageInfo> infos = getImageInfoFromPlist(text);
  Records got;
  for (const ImageInfo& info : infos) {
    got.emplace_back(info.imagePath, info.mountPoints);
  }
  EXPECT_EQ(got, c.expected);
  EXPECT_EQ(capture.text(), c.output);
}

const std::string NO_IMAGES = "Error: plist: missing 'images' property\n";

const PlistListing PLIST_LISTINGS[] = {
    // A ram:// disk whose only entity is its unmounted device.
    {"unverified-info-plist-1.xml",
     true,
     {{"ram://4194304", {}}},
     "Parsing next image info \nLoaded 1 image infos from plist\n"},
    // Nothing attached: "images" is an empty array.
    {"unverified-info-plist-2.xml", true, {}, "Loaded 0 image infos from plist\n"},
    // "hdiutil attach -plist" output lists entities but no images.
    {"attach-plist-1.xml", false, {}, NO_IMAGES},
    {"attach-plist-2.xml", false, {}, NO_IMAGES},
    // Cut short: not XML.
    {"attach-plist-3.truncated.txt", false, {}, "Error: plist: cannot parse XML, invalid format?\n"},
    // A lone entity dictionary: its root holds no dictionary.
    {"attach-plist-fragment-10.12.txt", false, {}, "Error: plist: missing root 'dict' element\n"},
    {"attach-plist-fragment-10.13.txt", false, {}, "Error: plist: missing root 'dict' element\n"},
};

INSTANTIATE_TEST_SUITE_P(Listings, RealPlistListingTest, ::testing::ValuesIn(PLIST_LISTINGS),
                         [](const ::testing::TestParamInfo<PlistListing>& row) {
                           return testName(row.param.file);
                         });

} // namespace
