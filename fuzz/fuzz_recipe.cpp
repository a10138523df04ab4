#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "checks.h"
#include "fuzz_target.h"

namespace {

// The C interface takes descriptors of files: each input's image and
// profile are written to files in one scratch directory, made once per
// process.
std::string scratch;

void removeScratch() {
  for (const char* name : {"/image.dmg", "/profile.bin", "/stamped.dmg"}) {
    unlink((scratch + name).c_str());
  }
  rmdir(scratch.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string pattern = (std::filesystem::temp_directory_path() / "fuzz_recipe-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    std::fprintf(stderr, "fuzz_recipe: mkdtemp %s: %s\n", pattern.c_str(), std::strerror(errno));
    std::exit(1);
  }
  scratch = name.data();
  std::atexit(removeScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzcheck::stopOnFault(fuzzcheck::checkRecipe(fuzzcheck::asText(data, size), scratch));
  return 0;
}
