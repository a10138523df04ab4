#include "inventory/image_info.h"

#include <iostream>
#include <utility>

#include <tinyxml2.h>

#include "inventory/plist.h"

namespace {

constexpr const char* IMAGES_KEY = "images";
constexpr const char* IMAGE_PATH_KEY = "image-path";
constexpr const char* SYSTEM_ENTITIES_KEY = "system-entities";
constexpr const char* MOUNT_POINT_KEY = "mount-point";

// The text of a property's value element, or null when the key is absent,
// ends the dictionary, or its value holds no text (empty or white space only).
const char* propertyText(tinyxml2::XMLElement* dict, const char* key) {
  const tinyxml2::XMLElement* value = plist::getProperty(dict, key);
  return value != nullptr ? value->GetText() : nullptr;
}

} // namespace

std::vector<ImageInfo> getImageInfoFromPlist(const std::string& plistText) {
  // White space is kept so that paths and mount points come back exactly as
  // the utility wrote them, leading and trailing blanks included.
  tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
  if (doc.Parse(plistText.data(), plistText.size()) != tinyxml2::XML_SUCCESS) {
    std::cout << "Error: plist: cannot parse XML, invalid format?" << std::endl;
    return {};
  }

  // The root is normally <plist>; its name is not checked, only its layout.
  tinyxml2::XMLElement* root = doc.RootElement();
  if (root == nullptr) {
    std::cout << "Error: plist: missing root <plist> element" << std::endl;
    return {};
  }
  tinyxml2::XMLElement* top = root->FirstChildElement(plist::PLIST_DICT);
  if (top == nullptr) {
    std::cout << "Error: plist: missing root 'dict' element" << std::endl;
    return {};
  }
  // "hdiutil attach -plist" output has the same entities but no "images":
  // that is a listing of something else, not an empty inventory.
  tinyxml2::XMLElement* images = plist::getProperty(top, IMAGES_KEY);
  if (images == nullptr) {
    std::cout << "Error: plist: missing 'images' property" << std::endl;
    return {};
  }

  std::vector<ImageInfo> infos;
  for (tinyxml2::XMLElement* image : plist::getElements(images, plist::PLIST_DICT)) {
    ImageInfo info;
    std::cout << "Parsing next image info " << std::endl;

    const char* imagePath = propertyText(image, IMAGE_PATH_KEY);
    if (imagePath == nullptr) {
      std::cout << "Warning: plist:: can't retreive 'image-path' property, skipping to next image"
                << std::endl;
      continue;
    }
    info.imagePath = imagePath;

    tinyxml2::XMLElement* entities = plist::getProperty(image, SYSTEM_ENTITIES_KEY);
    if (entities == nullptr) {
      std::cout << "Warning: plist:: missing 'system-entities' property, skipping to next image" << std::endl;
      continue;
    }
    // Partition schemes and containers are entities too, but only file
    // systems that are mounted carry a mount point; the others are skipped
    // without a word.
    for (tinyxml2::XMLElement* entity : plist::getElements(entities, plist::PLIST_DICT)) {
      if (const char* mountPoint = propertyText(entity, MOUNT_POINT_KEY)) {
        info.mountPoints.emplace_back(mountPoint);
        std::cout << "mount-point: '" << mountPoint << "'" << std::endl;
      }
    }
    // An image without any mounted file system is still attached, and still
    // counts.
    infos.push_back(std::move(info));
  }

  std::cout << "Loaded " << infos.size() << " image infos from plist" << std::endl;
  return infos;
}
