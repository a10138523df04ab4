#include <map>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "inventory/image_info.h"
#include "support/test_support.h"

namespace {

using AliasTable = std::map<std::string, std::string>;

const std::string SEPARATOR(48, '=');

// One image block of "hdiutil info": keys padded to 16 columns, then the
// tab-separated /dev lines of the image's entities.
std::string imageBlock(const std::string& path, const std::string& alias, const std::string& devLines) {
  std::string block = SEPARATOR + "\n";
  block += "image-path      : " + path + "\n";
  if (!alias.empty()) {
    block += "image-alias     : " + alias + "\n";
  }
  block +=
      "shadow-path     : <none>\n"
      "icon-path       : /System/Library/PrivateFrameworks/DiskImages.framework/Resources/CDiskImage.icns\n"
      "image-type      : read-only disk image\n"
      "system-image    : false\n"
      "blockcount      : 2048\n"
      "blocksize       : 512\n"
      "writeable       : false\n"
      "process ID      : 412\n";
  return block + devLines;
}

const std::string HEADER = "framework       : 671.100.2\n"
                           "driver          : 671.100.2\n";

struct AliasCase {
  std::string name;
  std::string listing;
  AliasTable expected;
};

std::ostream& operator<<(std::ostream& out, const AliasCase& c) {
  return out << c.name;
}

class ImageAliasesTest : public ::testing::TestWithParam<AliasCase> {};

TEST_P(ImageAliasesTest, BuildsTable) {
  const AliasCase& c = GetParam();
  EXPECT_EQ(getImageAliases(c.listing), c.expected);
}

const AliasCase ALIAS_CASES[] = {
    {"full_listing_one_image",
     HEADER + imageBlock("/Users/a/Setup.dmg", "/Users/a/Setup.dmg",
                         "/dev/disk4\tGUID_partition_scheme\t\n/dev/disk4s1\tApple_HFS\t/Volumes/Setup\n"),
     {{"/Users/a/Setup.dmg", "/Users/a/Setup.dmg"}}},
    {"alias_differs_from_path_through_symlink",
     HEADER + imageBlock("/var/folders/T/x.dmg", "/private/var/folders/T/x.dmg",
                         "/dev/disk4s1\tApple_HFS\t/Volumes/X\n"),
     {{"/var/folders/T/x.dmg", "/private/var/folders/T/x.dmg"}}},
    {"several_images_one_nested_in_another_volume",
     HEADER +
         imageBlock("/Users/a/Outer Image.dmg", "/Users/a/Outer Image.dmg",
                    "/dev/disk4s1\tApple_HFS\t/Volumes/Outer Volume\n") +
         imageBlock("/Volumes/Outer Volume/Inner.dmg", "/Volumes/Outer Volume/Inner.dmg",
                    "/dev/disk5s1\tApple_HFS\t/Volumes/Inner\n"),
     {{"/Users/a/Outer Image.dmg", "/Users/a/Outer Image.dmg"},
      {"/Volumes/Outer Volume/Inner.dmg", "/Volumes/Outer Volume/Inner.dmg"}}},
    {"image_without_alias_gives_no_entry", HEADER + imageBlock("ram://2048", "", "/dev/disk4\t\n"), {}},
    {"image_without_alias_does_not_take_previous_alias",
     HEADER +
         imageBlock("/Users/a/Setup.dmg", "/Users/a/Setup.dmg", "/dev/disk4s1\tApple_HFS\t/Volumes/Setup\n") +
         imageBlock("ram://2048", "", "/dev/disk5\t\n"),
     {{"/Users/a/Setup.dmg", "/Users/a/Setup.dmg"}}},
    {"second_path_before_alias_replaces_first",
     "image-path      : /Users/a/One.dmg\n"
     "image-path      : /Users/a/Two.dmg\n"
     "image-alias     : /Users/a/Alias.dmg\n",
     {{"/Users/a/Two.dmg", "/Users/a/Alias.dmg"}}},
    {"alias_before_path_still_pairs",
     "image-alias     : /Users/a/Alias.dmg\n"
     "shadow-path     : <none>\n"
     "image-path      : /Users/a/Setup.dmg\n",
     {{"/Users/a/Setup.dmg", "/Users/a/Alias.dmg"}}},
    {"alias_after_completed_pair_waits_for_its_own_path",
     "image-path      : /Users/a/One.dmg\n"
     "image-alias     : /Users/a/One Alias.dmg\n"
     "image-alias     : /Users/a/Two Alias.dmg\n"
     "image-path      : /Users/a/Two.dmg\n",
     {{"/Users/a/One.dmg", "/Users/a/One Alias.dmg"}, {"/Users/a/Two.dmg", "/Users/a/Two Alias.dmg"}}},
    {"same_path_twice_later_alias_wins",
     "image-path      : /Users/a/Setup.dmg\n"
     "image-alias     : /Users/a/First.dmg\n"
     "image-path      : /Users/a/Setup.dmg\n"
     "image-alias     : /Users/a/Second.dmg\n",
     {{"/Users/a/Setup.dmg", "/Users/a/Second.dmg"}}},
    {"two_character_value_is_not_a_value",
     "image-path      : /Users/a/Setup.dmg\n"
     "image-alias     : /a\n",
     {}},
    {"crlf_line_ends_are_not_part_of_values",
     "image-path      : /Users/a/Setup.dmg\r\n"
     "image-alias     : /Users/a/Alias.dmg\r\n",
     {{"/Users/a/Setup.dmg", "/Users/a/Alias.dmg"}}},
    {"last_line_without_line_feed_counts",
     "image-path      : /Users/a/Setup.dmg\n"
     "image-alias     : /Users/a/Alias.dmg",
     {{"/Users/a/Setup.dmg", "/Users/a/Alias.dmg"}}},
    {"indented_lines_and_blank_lines",
     "\n    image-path      : ram://838860\n\n"
     "    image-alias     : /Users/a/Ram Disk\n\n",
     {{"ram://838860", "/Users/a/Ram Disk"}}},
    {"other_path_like_keys_are_not_image_paths",
     "shadow-path     : /Users/a/Shadow.shadow\n"
     "icon-path       : /Users/a/Icon.icns\n"
     "image-path-x    : /Users/a/NotThis.dmg\n"
     "image-alias     : /Users/a/Alias.dmg\n"
     "Image-Path      : /Users/a/NorThis.dmg\n",
     {}},
    {"empty_listing", "", {}},
};

INSTANTIATE_TEST_SUITE_P(Listings, ImageAliasesTest, ::testing::ValuesIn(ALIAS_CASES),
                         [](const ::testing::TestParamInfo<AliasCase>& row) { return row.param.name; });

TEST(ImageAliases, PrintsNothing) {
  testsupport::CoutCapture capture;
  const AliasTable table = getImageAliases(HEADER + imageBlock("/Users/a/Setup.dmg", "/Users/a/Setup.dmg",
                                                               "/dev/disk4s1\tApple_HFS\t/Volumes/Setup\n"));
  EXPECT_EQ(table.size(), 1U);
  EXPECT_EQ(capture.text(), "");
}

} // namespace
