#include "app/shell_command.h"

#include <csignal>
#include <cstdio>

namespace {

// A parent that ignores SIGCHLD passes that on through exec, and not every
// installer resets it. The system then reaps the shell by itself, pclose
// cannot learn its status and returns -1, and every run would fail although
// the utility succeeded. The default action is in force while the command
// runs; the previous one comes back afterwards.
class DefaultChildSignal {
public:
  DefaultChildSignal() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, &saved_);
  }
  ~DefaultChildSignal() { sigaction(SIGCHLD, &saved_, nullptr); }
  DefaultChildSignal(const DefaultChildSignal&) = delete;
  DefaultChildSignal& operator=(const DefaultChildSignal&) = delete;

private:
  struct sigaction saved_ {};
};

} // namespace

CommandResult runShellCommand(const std::string& command) {
  const DefaultChildSignal childSignal;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return {-1, std::string()};
  }
  // Line by line through a small buffer; each chunk counts up to its first
  // zero byte, as text.
  std::string output;
  char buffer[128];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    output.append(buffer);
  }
  const int status = pclose(pipe);
  return {static_cast<std::int32_t>(status), std::move(output)};
}
