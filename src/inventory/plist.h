// Lookups in an Apple property list held as a tinyxml2 document.
//
// A plist dictionary is a flat run of <key> elements, each followed by its
// value element, so a value is found by its key's text and is the key's next
// sibling.
#pragma once

#include <vector>

#include <tinyxml2.h>

namespace plist {

inline constexpr const char* PLIST_KEY = "key";
inline constexpr const char* PLIST_DICT = "dict";
inline constexpr const char* PLIST_ARRAY = "array";

// The value element of `key` in the dictionary element `dict`, or null. The
// first <key> whose text equals `key` exactly wins; a key that is the last
// element of the dictionary has no value. `dict` must not be null.
tinyxml2::XMLElement* getProperty(tinyxml2::XMLElement* dict, const char* key);

// The direct child elements of `parent` named `name`, in document order.
// `parent` must not be null.
std::vector<tinyxml2::XMLElement*> getElements(tinyxml2::XMLElement* parent, const char* name);

} // namespace plist
