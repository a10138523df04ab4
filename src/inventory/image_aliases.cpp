#include "inventory/image_info.h"

#include <string_view>

#include "inventory/listing_line.h"

namespace {

constexpr std::string_view IMAGE_PATH_KEY = "image-path";
constexpr std::string_view IMAGE_ALIAS_KEY = "image-alias";

} // namespace

std::map<std::string, std::string> getImageAliases(const std::string& listing) {
  std::map<std::string, std::string> aliases;

  // A block of the listing names its image file twice: "image-path" as the
  // image was attached and "image-alias" as the file is found now (they differ
  // when the path went through a symbolic link such as /var -> /private/var).
  // Blocks are not delimited reliably (a listing may be filtered or cut), so a
  // pair is simply the next path and the next alias seen, in either order.
  std::string pendingPath;
  std::string pendingAlias;

  std::string_view rest = listing;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);

    if (const auto matched = matchListingLine(line)) {
      if (matched->key == IMAGE_PATH_KEY) {
        pendingPath = std::string(matched->value);
      } else if (matched->key == IMAGE_ALIAS_KEY) {
        pendingAlias = std::string(matched->value);
      }
    }

    if (!pendingPath.empty() && !pendingAlias.empty()) {
      aliases[pendingPath] = pendingAlias;
      pendingPath.clear();
      pendingAlias.clear();
    }
  }
  return aliases;
}
