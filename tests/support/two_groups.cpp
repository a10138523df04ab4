#include "support/two_groups.h"

#include <cstdio>
#include <vector>

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
    default: {
      const auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x20 && byte < 0x7f && c != '\\') {
        out += c;
      } else {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        out += escaped;
      }
    }
    }
  }
  return out;
}

std::optional<TwoGroups> groupsIn(std::string_view text, std::string_view first, std::string_view second) {
  const std::less<const char*> before;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  for (const std::string_view group : {first, second}) {
    if (before(group.data(), begin) || before(end, group.data() + group.size())) {
      return std::nullopt;
    }
  }
  return TwoGroups{static_cast<std::size_t>(first.data() - begin), first.size(),
                   static_cast<std::size_t>(second.data() - begin), second.size()};
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

MatcherComparison::MatcherComparison(const std::regex& pattern, Matcher matcher, const char* input,
                                     const char* firstName, const char* secondName)
    : pattern_(pattern), matcher_(std::move(matcher)), input_(input), firstName_(firstName),
      secondName_(secondName) {}

std::string MatcherComparison::describe(std::string_view text, const std::optional<TwoGroups>& groups) const {
  return testsupport::describe(text, groups, firstName_, secondName_);
}

std::string MatcherComparison::disagreement(std::string_view text) {
  const std::optional<TwoGroups> engine = byRegex(text);
  const std::optional<TwoGroups> ours = byMatcher(text);
  if (engine != ours) {
    return std::string(input_) + " '" + visible(text) + "': regex gives " + describe(text, engine) +
           ", matcher gives " + describe(text, ours);
  }
  if (engine) {
    ++matches_;
  }
  return "";
}

void forEachString(const std::string& alphabet, std::size_t maxLength,
                   const std::function<bool(const std::string&)>& visit) {
  for (std::size_t length = 0; length <= maxLength; ++length) {
    std::vector<std::size_t> digits(length, 0);
    std::string text(length, alphabet[0]);
    for (;;) {
      if (!visit(text)) {
        return;
      }
      std::size_t i = 0;
      while (i < length && ++digits[i] == alphabet.size()) {
        digits[i] = 0;
        text[i] = alphabet[0];
        ++i;
      }
      if (i == length) {
        break;
      }
      text[i] = alphabet[digits[i]];
    }
  }
}

} // namespace testsupport
