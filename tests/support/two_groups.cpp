#include "support/two_groups.h"

namespace testsupport {

std::string visible(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
    case '\t':
      out += "\\t";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\v':
      out += "\\v";
      break;
    case '\f':
      out += "\\f";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\0':
      out += "\\0";
      break;
    default:
      out += c;
    }
  }
  return out;
}

TwoGroups groupsIn(std::string_view text, std::string_view first, std::string_view second) {
  return TwoGroups{static_cast<std::size_t>(first.data() - text.data()), first.size(),
                   static_cast<std::size_t>(second.data() - text.data()), second.size()};
}

std::optional<TwoGroups> regexGroups(const std::string& text, const std::regex& pattern) {
  std::smatch m;
  if (!std::regex_match(text, m, pattern)) {
    return std::nullopt;
  }
  return TwoGroups{static_cast<std::size_t>(m.position(1)), static_cast<std::size_t>(m.length(1)),
                   static_cast<std::size_t>(m.position(2)), static_cast<std::size_t>(m.length(2))};
}

std::string describe(std::string_view text, const std::optional<TwoGroups>& groups, const char* firstName,
                     const char* secondName) {
  if (!groups) {
    return "no match";
  }
  return std::string(firstName) + " '" + visible(text.substr(groups->firstPos, groups->firstLen)) + "' at " +
         std::to_string(groups->firstPos) + ", " + secondName + " '" +
         visible(text.substr(groups->secondPos, groups->secondLen)) + "' at " +
         std::to_string(groups->secondPos);
}

} // namespace testsupport
