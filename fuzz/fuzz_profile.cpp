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

// The reader takes a path, so each input becomes the whole of one scratch
// file, made once per process and rewritten for every input.
std::string scratch;

void removeScratch() {
  unlink(scratch.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string pattern = (std::filesystem::temp_directory_path() / "fuzz_profile-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    std::fprintf(stderr, "fuzz_profile: mkstemp %s: %s\n", pattern.c_str(), std::strerror(errno));
    std::exit(1);
  }
  close(fd);
  scratch = name.data();
  std::atexit(removeScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzcheck::stopOnFault(fuzzcheck::checkProfile(fuzzcheck::asText(data, size), scratch));
  return 0;
}
