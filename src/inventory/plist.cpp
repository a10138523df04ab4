#include "inventory/plist.h"

#include <cstring>

namespace plist {

tinyxml2::XMLElement* getProperty(tinyxml2::XMLElement* dict, const char* key) {
  for (tinyxml2::XMLElement* candidate = dict->FirstChildElement(PLIST_KEY); candidate != nullptr;
       candidate = candidate->NextSiblingElement(PLIST_KEY)) {
    // Keys are compared verbatim: the utility writes them without padding, so
    // a key with white space around it is a different key.
    const char* text = candidate->GetText();
    if (text != nullptr && std::strcmp(text, key) == 0) {
      // Whatever follows is the value, whichever type it has; a key that ends
      // the dictionary has none.
      return candidate->NextSiblingElement();
    }
  }
  return nullptr;
}

std::vector<tinyxml2::XMLElement*> getElements(tinyxml2::XMLElement* parent, const char* name) {
  std::vector<tinyxml2::XMLElement*> elements;
  for (tinyxml2::XMLElement* child = parent->FirstChildElement(name); child != nullptr;
       child = child->NextSiblingElement(name)) {
    elements.push_back(child);
  }
  return elements;
}

} // namespace plist
