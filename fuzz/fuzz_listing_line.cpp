#include "checks.h"
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzcheck::stopOnFault(fuzzcheck::checkListingLine(fuzzcheck::asText(data, size)));
  return 0;
}
