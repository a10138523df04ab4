#include <csignal>
#include <iostream>

#include "app/stamp_cli.h"
#include "profile/profile_stamp.h"

namespace {

// A stamp ended by a signal must not leave its temporary file next to the
// image: remove it, then die of the signal as the caller expects.
extern "C" void discardAndDie(int signal) {
  profile_stamp::discardPendingOutput();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

} // namespace

int main(int argc, char* argv[]) {
  // A file-size limit must fail the write with EFBIG, which the tool
  // reports and cleans up after, rather than kill it mid-copy. A closed
  // standard output must fail extract's write the same way.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = discardAndDie;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous {};
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      sigaction(signal, &action, nullptr);
    }
  }
  return runStamp(argc, argv, std::cout, std::cerr);
}
