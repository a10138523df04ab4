#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

#include "stamp/stamp.h"
#include "stamp/stamp_cli.h"

namespace {

// The build's identity, for `what` and `strings`; --version prints it too.
// `used` keeps the optimiser from dropping it, and strip leaves data alone.
__attribute__((used)) const char sccsIdentity[] = "@(#)brackwell-stamp " BRACKWELL_VERSION;

// A stamp ended by a signal must not leave its temporary file next to the
// image: remove it, then die of the signal as the caller expects.
extern "C" void discardAndDie(int signal) {
  stamp::discardPendingOutput();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// A descriptor 0, 1 or 2 that the caller left closed would be handed to the
// first file this run opens, and a message meant for standard error could
// land in the new image. Each is filled with /dev/null, opened the wrong way
// round, so that using it still fails as a closed one would.
void occupyStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int opened = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
      if (opened >= 0 && opened != fd) {
        dup2(opened, fd);
        close(opened);
      }
    }
  }
}

} // namespace

int main(int argc, char* argv[]) {
  occupyStandardDescriptors();
  // A file-size limit must fail the write with EFBIG, which the tool
  // reports and cleans up after, rather than kill it mid-copy. A standard
  // output whose reader has gone must fail the write the same way.
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
