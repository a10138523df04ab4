#include "support/run_tool.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

bool switchTo(const Identity& identity) {
  return setgroups(0, nullptr) == 0 && setgid(identity.gid) == 0 && setuid(identity.uid) == 0;
}

} // namespace

bool canRunAs(const Identity& identity, const std::string& program, const std::string& script) {
  const pid_t pid = fork();
  if (pid == 0) {
    const bool can =
        switchTo(identity) && access(program.c_str(), X_OK) == 0 && access(script.c_str(), R_OK | X_OK) == 0;
    _exit(can ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const ChildSetup& setup) {
  const char* bin = program.c_str();
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  if (setup.standardOutput == StandardOutput::readerGone) {
    close(fds[0]); // before the fork: no process is left to read
    fds[0] = -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    if (setup.standardOutput == StandardOutput::closed) {
      close(STDOUT_FILENO);
    } else {
      dup2(fds[1], STDOUT_FILENO);
    }
    // However the test was started, the program meets a pipe without reader
    // as it would in a shell pipeline.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGCHLD, setup.ignoreChildSignal ? SIG_IGN : SIG_DFL);
    // Nothing the test process holds open may leak into the run: the
    // open-files limit below counts descriptor numbers.
    for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) {
      close(fd);
    }
    for (const auto& [name, value] : setup.env) {
      setenv(name.c_str(), value.c_str(), 1);
    }
    if (setup.maxOpenFiles != 0) {
      const rlimit limit{setup.maxOpenFiles, setup.maxOpenFiles};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (setup.maxFileSize != 0) {
      signal(SIGXFSZ, SIG_IGN); // inherited across the exec
      const rlimit limit{setup.maxFileSize, setup.maxFileSize};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (setup.runAs && !switchTo(*setup.runAs)) {
      _exit(126);
    }
    if (setup.timeoutSeconds != 0) {
      alarm(setup.timeoutSeconds); // survives the exec
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(bin));
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(bin, argv.data());
    _exit(127);
  }
  close(fds[1]);
  RunResult result;
  char buffer[4096];
  ssize_t got;
  while (fds[0] >= 0 && (got = read(fds[0], buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      break;
    }
    result.out.append(buffer, static_cast<std::size_t>(got));
  }
  if (fds[0] >= 0) {
    close(fds[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult runTool(const std::vector<std::string>& args, const ChildSetup& setup) {
  const char* bin = std::getenv("BRACKWELL_BIN");
  if (bin == nullptr) {
    ADD_FAILURE() << "BRACKWELL_BIN is not set; run through ctest";
    return {};
  }
  return runProgram(bin, args, setup);
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

} // namespace testsupport
