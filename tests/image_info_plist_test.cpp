#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "inventory/image_info.h"
#include "inventory/plist.h"
#include "support/test_support.h"

namespace {

// ---------------------------------------------------------------------------
// Building blocks of "hdiutil info -plist" documents, tab-indented as the
// utility writes them.

std::string indent(int depth) {
  return std::string(static_cast<std::size_t>(depth), '\t');
}

std::string str(const std::string& text) {
  return "<string>" + text + "</string>";
}

std::string property(int depth, const std::string& key, const std::string& value) {
  return indent(depth) + "<key>" + key + "</key>\n" + indent(depth) + value + "\n";
}

std::string dict(int depth, const std::string& body) {
  return indent(depth) + "<dict>\n" + body + indent(depth) + "</dict>\n";
}

// An array in value position (the enclosing property ends the line).
std::string array(int depth, const std::string& items) {
  return "<array>\n" + items + indent(depth) + "</array>";
}

const std::string PROLOGUE = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

// A whole document whose top dictionary carries `imagesValue` under "images".
std::string infoDocument(const std::string& imagesValue) {
  return PROLOGUE + "<plist version=\"1.0\">\n" +
         dict(0, property(1, "framework", str("671.100.2")) + property(1, "images", imagesValue) +
                     property(1, "revision", str("671.100.2")) + property(1, "vendor", str("Apple"))) +
         "</plist>\n";
}

std::string imagesArray(const std::string& imageDicts) {
  return array(1, imageDicts);
}

// The partition map of an image: an entity that is never mounted.
std::string partitionSchemeEntity(const std::string& device) {
  return dict(4, property(5, "content-hint", str("GUID_partition_scheme")) +
                     property(5, "dev-entry", str(device)) +
                     property(5, "potentially-mountable", "<false/>") +
                     property(5, "unmapped-content-hint", str("GUID_partition_scheme")));
}

// A file system entity; `mountPointValue` is the element after the
// "mount-point" key (the key is left out when it is empty).
std::string fileSystemEntity(const std::string& device, const std::string& mountPointValue) {
  return dict(4, property(5, "content-hint", str("Apple_HFS")) + property(5, "dev-entry", str(device)) +
                     (mountPointValue.empty() ? "" : property(5, "mount-point", mountPointValue)) +
                     property(5, "potentially-mountable", "<true/>") +
                     property(5, "unmapped-content-hint", str("48465300-0000-11AA-AA11-00306543ECAC")) +
                     property(5, "volume-kind", str("hfs")));
}

std::string systemEntities(const std::string& entityDicts) {
  return property(3, "system-entities", array(3, entityDicts));
}

// One image dictionary, keys in the utility's (sorted) order. An empty
// `alias` leaves "image-alias" out, as for ram:// disks.
std::string image(const std::string& alias, const std::string& pathProperty, const std::string& entities) {
  return dict(2, (alias.empty() ? "" : property(3, "image-alias", str(alias))) + pathProperty +
                     property(3, "image-type", str("read-only disk image")) +
                     property(3, "owner-uid", "<integer>501</integer>") + entities);
}

std::string imagePath(const std::string& path) {
  return property(3, "image-path", str(path));
}

// ---------------------------------------------------------------------------
// getImageInfoFromPlist

using Records = std::vector<std::pair<std::string, std::vector<std::string>>>;

Records records(const std::vector<ImageInfo>& infos) {
  Records result;
  for (const ImageInfo& info : infos) {
    result.emplace_back(info.imagePath, info.mountPoints);
  }
  return result;
}

const std::string PARSING = "Parsing next image info \n";
const std::string NO_PATH = "Warning: plist:: can't retreive 'image-path' property, skipping to next image\n";
const std::string NO_ENTITIES =
    "Warning: plist:: missing 'system-entities' property, skipping to next image\n";
const std::string PARSE_ERROR = "Error: plist: cannot parse XML, invalid format?\n";
const std::string NO_IMAGES = "Error: plist: missing 'images' property\n";

std::string loaded(int count) {
  return "Loaded " + std::to_string(count) + " image infos from plist\n";
}
std::string mountLine(const std::string& mountPoint) {
  return "mount-point: '" + mountPoint + "'\n";
}

struct PlistCase {
  std::string name;
  std::string text;
  Records expected;
  std::string output;
};

std::ostream& operator<<(std::ostream& out, const PlistCase& c) {
  return out << c.name;
}

class ImageInfoFromPlistTest : public ::testing::TestWithParam<PlistCase> {};

TEST_P(ImageInfoFromPlistTest, ReadsImagesAndReports) {
  const PlistCase& c = GetParam();
  testsupport::CoutCapture capture;
  const std::vector<ImageInfo> infos = getImageInfoFromPlist(c.text);
  EXPECT_EQ(records(infos), c.expected);
  EXPECT_EQ(capture.text(), c.output);
}

const std::string SETUP_IMAGE =
    image("/Users/a/Downloads/Setup Tool.dmg", imagePath("/Users/a/Downloads/Setup Tool.dmg"),
          systemEntities(partitionSchemeEntity("/dev/disk4") +
                         fileSystemEntity("/dev/disk4s1", str("/Volumes/Setup Tool"))));

const std::string RAM_DISK =
    image("", imagePath("ram://2048"), systemEntities(partitionSchemeEntity("/dev/disk5")));

const PlistCase PLIST_CASES[] = {
    // Documents as the utility writes them.
    {"mounted_image_and_unmounted_ram_disk",
     infoDocument(imagesArray(SETUP_IMAGE + RAM_DISK)),
     {{"/Users/a/Downloads/Setup Tool.dmg", {"/Volumes/Setup Tool"}}, {"ram://2048", {}}},
     PARSING + mountLine("/Volumes/Setup Tool") + PARSING + loaded(2)},
    {"image_inside_another_images_volume_and_several_file_systems",
     infoDocument(imagesArray(
         SETUP_IMAGE +
         image("", imagePath("/Volumes/Setup Tool/Payload.dmg"),
               systemEntities(partitionSchemeEntity("/dev/disk6") +
                              fileSystemEntity("/dev/disk6s1", str("/Volumes/Payload")) +
                              fileSystemEntity("/dev/disk6s2", "") +
                              fileSystemEntity("/dev/disk6s3", str("/Volumes/Payload Extras")))))),
     {{"/Users/a/Downloads/Setup Tool.dmg", {"/Volumes/Setup Tool"}},
      {"/Volumes/Setup Tool/Payload.dmg", {"/Volumes/Payload", "/Volumes/Payload Extras"}}},
     PARSING + mountLine("/Volumes/Setup Tool") + PARSING + mountLine("/Volumes/Payload") +
         mountLine("/Volumes/Payload Extras") + loaded(2)},
    {"nothing_attached", infoDocument("<array/>"), {}, loaded(0)},

    // Unusable documents.
    {"empty_input", "", {}, PARSE_ERROR},
    {"white_space_only_input", " \n\t\n", {}, PARSE_ERROR},
    {"truncated_document", infoDocument(imagesArray(SETUP_IMAGE)).substr(0, 400), {}, PARSE_ERROR},
    {"declaration_without_root_element", PROLOGUE, {}, "Error: plist: missing root <plist> element\n"},
    {"root_without_dict",
     PROLOGUE + "<plist version=\"1.0\">\n<array/>\n</plist>\n",
     {},
     "Error: plist: missing root 'dict' element\n"},
    {"attach_listing_has_no_images",
     PROLOGUE + "<plist version=\"1.0\">\n" +
         dict(0, property(1, "system-entities",
                          array(1, fileSystemEntity("/dev/disk4s1", str("/Volumes/Setup Tool"))))) +
         "</plist>\n",
     {},
     NO_IMAGES},

    // Locating the top dictionary and its "images".
    {"root_of_any_name_is_accepted",
     "<list>\n" + dict(0, property(1, "images", imagesArray(RAM_DISK))) + "</list>\n",
     {{"ram://2048", {}}},
     PARSING + loaded(1)},
    {"top_dict_is_first_dict_child_of_root",
     "<plist>\n<string>x</string>\n" + dict(0, property(1, "images", imagesArray(RAM_DISK))) + "</plist>\n",
     {{"ram://2048", {}}},
     PARSING + loaded(1)},
    {"images_key_with_white_space_around_is_another_key",
     PROLOGUE + "<plist version=\"1.0\">\n" + dict(0, property(1, " images ", imagesArray(RAM_DISK))) +
         "</plist>\n",
     {},
     NO_IMAGES},
    {"images_key_ending_dict_has_no_value",
     PROLOGUE + "<plist version=\"1.0\">\n<dict>\n\t<key>framework</key>\n\t<string>671.100.2</string>\n"
                "\t<key>images</key>\n</dict>\n</plist>\n",
     {},
     NO_IMAGES},
    {"images_key_text_after_comment_matches",
     PROLOGUE + "<plist version=\"1.0\">\n" +
         dict(0, property(1, "<!-- attached -->images", imagesArray(RAM_DISK))) + "</plist>\n",
     {{"ram://2048", {}}},
     PARSING + loaded(1)},
    {"images_key_holding_only_comment_has_no_text",
     PROLOGUE + "<plist version=\"1.0\">\n" + dict(0, property(1, "<!--images-->", imagesArray(RAM_DISK))) +
         "</plist>\n",
     {},
     NO_IMAGES},
    {"images_value_element_name_is_not_examined",
     infoDocument("<dict>\n" + RAM_DISK + "\t</dict>"),
     {{"ram://2048", {}}},
     PARSING + loaded(1)},
    {"only_dict_children_of_images_are_images",
     infoDocument(imagesArray("\t\t<string>ram://1</string>\n" + RAM_DISK + "\t\t<array>\n" + SETUP_IMAGE +
                              "\t\t</array>\n")),
     {{"ram://2048", {}}},
     PARSING + loaded(1)},

    // Images that cannot be used are reported and left out.
    {"image_without_path_is_skipped",
     infoDocument(imagesArray(image("", "", systemEntities(partitionSchemeEntity("/dev/disk4"))) + RAM_DISK)),
     {{"ram://2048", {}}},
     PARSING + NO_PATH + PARSING + loaded(1)},
    {"empty_image_path_is_skipped",
     infoDocument(imagesArray(image("", property(3, "image-path", "<string/>"), systemEntities("")))),
     {},
     PARSING + NO_PATH + loaded(0)},
    {"white_space_only_image_path_is_skipped",
     infoDocument(imagesArray(image("", imagePath(" \t "), systemEntities("")))),
     {},
     PARSING + NO_PATH + loaded(0)},
    {"image_path_key_ending_dict_is_skipped",
     infoDocument(imagesArray("\t\t<dict>\n\t\t\t<key>image-path</key>\n\t\t</dict>\n")),
     {},
     PARSING + NO_PATH + loaded(0)},
    {"image_without_system_entities_is_skipped",
     infoDocument(imagesArray(image("", imagePath("/Users/a/Broken.dmg"), "") + RAM_DISK)),
     {{"ram://2048", {}}},
     PARSING + NO_ENTITIES + PARSING + loaded(1)},

    // Mount points.
    {"entities_without_usable_mount_point_are_passed_over",
     infoDocument(imagesArray(image("", imagePath("/Users/a/Setup.dmg"),
                                    systemEntities(partitionSchemeEntity("/dev/disk4") +
                                                   fileSystemEntity("/dev/disk4s1", "<string></string>") +
                                                   fileSystemEntity("/dev/disk4s2", str("  \t ")) +
                                                   dict(4, indent(5) + "<key>mount-point</key>\n"))))),
     {{"/Users/a/Setup.dmg", {}}},
     PARSING + loaded(1)},
    {"white_space_around_text_is_kept",
     infoDocument(
         imagesArray(image("", imagePath(" /Users/a/Setup.dmg "),
                           systemEntities(fileSystemEntity("/dev/disk4s1", str("  /Volumes/Setup  ")))))),
     {{" /Users/a/Setup.dmg ", {"  /Volumes/Setup  "}}},
     PARSING + mountLine("  /Volumes/Setup  ") + loaded(1)},
    {"entities_are_decoded",
     infoDocument(
         imagesArray(image("", imagePath("/Users/a/R&amp;D &lt;1&gt;.dmg"),
                           systemEntities(fileSystemEntity("/dev/disk4s1", str("/Volumes/R&amp;D")))))),
     {{"/Users/a/R&D <1>.dmg", {"/Volumes/R&D"}}},
     PARSING + mountLine("/Volumes/R&D") + loaded(1)},
    {"cdata_text_is_taken_verbatim",
     infoDocument(
         imagesArray(image("", property(3, "image-path", "<string><![CDATA[/Users/a/R&amp;D.dmg]]></string>"),
                           systemEntities(fileSystemEntity(
                               "/dev/disk4s1", "<string><!-- v --><![CDATA[/Volumes/R&D]]></string>"))))),
     {{"/Users/a/R&amp;D.dmg", {"/Volumes/R&D"}}},
     PARSING + mountLine("/Volumes/R&D") + loaded(1)},
};

INSTANTIATE_TEST_SUITE_P(Documents, ImageInfoFromPlistTest, ::testing::ValuesIn(PLIST_CASES),
                         [](const ::testing::TestParamInfo<PlistCase>& row) { return row.param.name; });

// ---------------------------------------------------------------------------
// plist::getProperty

// The value element found, as "name=text" ("name" alone when it has no text),
// or "null".
std::string describe(const tinyxml2::XMLElement* value) {
  if (value == nullptr) {
    return "null";
  }
  const char* text = value->GetText();
  return text != nullptr ? std::string(value->Name()) + "=" + text : std::string(value->Name());
}

struct PropertyCase {
  std::string name;
  std::string dictXml;
  std::string key;
  std::string expected;
};

std::ostream& operator<<(std::ostream& out, const PropertyCase& c) {
  return out << c.name;
}

class GetPropertyTest : public ::testing::TestWithParam<PropertyCase> {};

TEST_P(GetPropertyTest, FindsValueOfKey) {
  const PropertyCase& c = GetParam();
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  ASSERT_EQ(doc.Parse(c.dictXml.data(), c.dictXml.size()), tinyxml2::XML_SUCCESS) << c.dictXml;
  EXPECT_EQ(describe(plist::getProperty(doc.RootElement(), c.key.c_str())), c.expected);
}

const PropertyCase PROPERTY_CASES[] = {
    {"value_is_next_element_of_any_type",
     "<dict><key>framework</key><string>671</string><key>owner-uid</key><integer>501</integer></dict>",
     "owner-uid", "integer=501"},
    {"value_without_text", "<dict><key>images</key><array/></dict>", "images", "array"},
    {"comment_between_key_and_value_is_passed", "<dict><key>a</key><!-- c --><string>x</string></dict>", "a",
     "string=x"},
    {"first_matching_key_wins",
     "<dict><key>a</key><string>first</string><key>a</key><string>second</string></dict>", "a",
     "string=first"},
    {"key_ending_dict_has_no_value", "<dict><key>b</key><string>x</string><key>a</key></dict>", "a", "null"},
    {"missing_key", "<dict><key>b</key><string>x</string></dict>", "a", "null"},
    {"empty_dict", "<dict/>", "a", "null"},
    {"white_space_around_key_text_is_not_trimmed", "<dict><key> a </key><string>x</string></dict>", "a",
     "null"},
    {"white_space_around_key_text_is_kept", "<dict><key> a </key><string>x</string></dict>", " a ",
     "string=x"},
    {"key_is_not_a_prefix_match", "<dict><key>image-path</key><string>x</string></dict>", "image", "null"},
    {"key_is_not_matched_by_its_prefix", "<dict><key>image</key><string>x</string></dict>", "image-path",
     "null"},
    {"key_is_case_sensitive", "<dict><key>Images</key><array/></dict>", "images", "null"},
    {"white_space_only_key_never_matches", "<dict><key>   </key><string>x</string></dict>", "   ", "null"},
    {"comment_before_key_text_is_skipped", "<dict><key><!-- c -->a</key><string>x</string></dict>", "a",
     "string=x"},
    {"comment_only_key_is_passed_over",
     "<dict><key><!--a--></key><string>x</string><key>a</key><string>y</string></dict>", "a", "string=y"},
    {"cdata_key_matches", "<dict><key><![CDATA[a]]></key><string>x</string></dict>", "a", "string=x"},
    {"entity_in_key_is_decoded", "<dict><key>R&amp;D</key><string>x</string></dict>", "R&D", "string=x"},
    {"value_with_text_of_key_is_not_a_key",
     "<dict><key>label</key><string>images</string><array/><key>images</key><dict/></dict>", "images",
     "dict"},
    {"only_key_elements_are_keys", "<dict><string>a</string><string>x</string></dict>", "a", "null"},
    {"nested_dict_is_not_searched",
     "<dict><key>outer</key><dict><key>a</key><string>x</string></dict></dict>", "a", "null"},
};

INSTANTIATE_TEST_SUITE_P(Dictionaries, GetPropertyTest, ::testing::ValuesIn(PROPERTY_CASES),
                         [](const ::testing::TestParamInfo<PropertyCase>& row) { return row.param.name; });

// ---------------------------------------------------------------------------
// plist::getElements

TEST(GetElements, DirectChildrenOfThatNameInDocumentOrder) {
  const std::string xml = "<array><dict><string>1</string></dict><string>no</string>"
                          "<dict><string>2</string><dict><string>nested</string></dict></dict>"
                          "<!-- c --><dict><string>3</string></dict></array>";
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  ASSERT_EQ(doc.Parse(xml.data(), xml.size()), tinyxml2::XML_SUCCESS);

  std::vector<std::string> found;
  for (tinyxml2::XMLElement* element : plist::getElements(doc.RootElement(), plist::PLIST_DICT)) {
    found.push_back(describe(element->FirstChildElement()));
  }
  EXPECT_EQ(found, (std::vector<std::string>{"string=1", "string=2", "string=3"}));
}

TEST(GetElements, NoneOfThatName) {
  const std::string xml = "<array><string>x</string></array>";
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  ASSERT_EQ(doc.Parse(xml.data(), xml.size()), tinyxml2::XML_SUCCESS);
  EXPECT_TRUE(plist::getElements(doc.RootElement(), plist::PLIST_DICT).empty());
}

} // namespace
