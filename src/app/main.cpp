#include <csignal>

#include "app/run.h"

// The build's identity, for `what` and `strings`. It is never printed: every
// argument count keeps its behaviour. `used` keeps the optimiser from dropping
// it, and strip leaves data alone.
__attribute__((used)) static const char sccsIdentity[] = "@(#)brackwell " BRACKWELL_VERSION;

int main(int argc, char* argv[]) {
  // A file-size limit must fail the output's write with EFBIG, which the run
  // reports as an output it could not write, rather than kill it silently
  // with a partial file behind.
  std::signal(SIGXFSZ, SIG_IGN);
  return runBrackwell(argc, argv, BRACKWELL_HDIUTIL);
}
