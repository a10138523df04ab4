// brackwell_peak_rss <image>: reads the profile out of <image> the way the
// tool does and prints
//
//   <ok 0|1> <profile bytes> <peak RSS before, KiB> <peak RSS after, KiB>
//
// The peak is the kernel's high-water mark of this process's resident memory
// (VmHWM), which covers every page the reader touched, including the ones the
// kernel fills during the read. A process of its own, started afresh, so that
// nothing the benchmark program holds is counted.
#include <cstdio>
#include <fstream>
#include <string>

#include "profile/profile_trailer.h"
#include "support/test_support.h"

namespace {

long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

} // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: brackwell_peak_rss <image>\n");
    return 2;
  }
  testsupport::NullStream log;
  const long before = peakResidentKiB();
  const ProfileReadResult profile = readProfileFrom(argv[1], log);
  const long after = peakResidentKiB();
  std::printf("%d %zu %ld %ld\n", profile.first ? 1 : 0, profile.second.size(), before, after);
  return profile.first ? 0 : 1;
}
