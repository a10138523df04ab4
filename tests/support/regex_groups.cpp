// The regex engine's side of two_groups.h, alone in its file so that fuzz
// builds can leave it uninstrumented (tests/support/CMakeLists.txt).
#include "support/two_groups.h"

namespace testsupport {

std::optional<TwoGroups> regexGroups(std::string_view text, const std::regex& pattern) {
  const std::string subject(text);
  std::smatch m;
  if (!std::regex_match(subject, m, pattern)) {
    return std::nullopt;
  }
  return TwoGroups{static_cast<std::size_t>(m.position(1)), static_cast<std::size_t>(m.length(1)),
                   static_cast<std::size_t>(m.position(2)), static_cast<std::size_t>(m.length(2))};
}

} // namespace testsupport
