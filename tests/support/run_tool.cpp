#include "support/run_tool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

// Everything in the child between fork and exec.
[[noreturn]] void startChild(const char* bin, const std::vector<std::string>& args, const ChildSetup& setup,
                             int outFd, int errFd) {
  dup2(outFd, STDOUT_FILENO);
  if (setup.captureStderr) {
    dup2(errFd, STDERR_FILENO);
  }
  if (!setup.stdinPath.empty()) {
    const int in = open(setup.stdinPath.c_str(), O_RDONLY);
    if (in < 0 || dup2(in, STDIN_FILENO) < 0) {
      _exit(127);
    }
  }
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
    const rlimit limit{setup.maxFileSize, setup.maxFileSize};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (setup.runAs) {
    const auto [uid, gid] = *setup.runAs;
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0 || setuid(0) == 0) {
      _exit(CANNOT_DROP_PRIVILEGES);
    }
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

} // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const ChildSetup& setup) {
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    startChild(program.c_str(), args, setup, out[1], err[1]);
  }
  close(out[1]);
  close(err[1]);
  // Both pipes are drained together: a child that fills one while the test
  // waits on the other would never finish.
  RunResult result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      sinks[i]->append(buffer, static_cast<std::size_t>(got));
    }
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

RunResult runStampTool(const std::vector<std::string>& args, const ChildSetup& setup) {
  const char* bin = std::getenv("BRACKWELL_STAMP_BIN");
  if (bin == nullptr) {
    ADD_FAILURE() << "BRACKWELL_STAMP_BIN is not set; run through ctest";
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
