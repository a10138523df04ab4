#include "support/run_tool.h"

#include <cerrno>
#include <csignal>
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

// Takes on `identity` for good: afterwards even root's way back is closed.
bool switchTo(const Identity& identity) {
  return setgroups(0, nullptr) == 0 && setgid(identity.gid) == 0 && setuid(identity.uid) == 0 &&
         (identity.uid == 0 || setuid(0) != 0);
}

// Waits up to `timeoutMs` (-1: for as long as it takes) for output on the
// open ones of `fds` (a child's standard output and error) and appends what
// arrived to `sinks`; a descriptor at its end is closed and set to -1. False
// when the wait itself failed.
bool readOutput(int (&fds)[2], std::string* const (&sinks)[2], int timeoutMs) {
  pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
  const int ready = poll(polled, 2, timeoutMs);
  if (ready < 0) {
    return errno == EINTR;
  }
  for (int i = 0; i < 2 && ready > 0; ++i) {
    if (polled[i].fd < 0 || polled[i].revents == 0) {
      continue;
    }
    char buffer[4096];
    const ssize_t got = read(fds[i], buffer, sizeof buffer);
    if (got > 0) {
      sinks[i]->append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      close(fds[i]);
      fds[i] = -1;
    }
  }
  return true;
}

// Everything in the child between fork and exec. `outFd` is -1 when standard
// output is to be closed.
[[noreturn]] void startChild(const char* bin, const std::vector<std::string>& args, const ChildSetup& setup,
                             int outFd, int errFd) {
  if (setup.standardOutput == StandardOutput::file) {
    const int file = open(setup.stdoutPath.c_str(), O_WRONLY | O_APPEND);
    if (file < 0 || dup2(file, STDOUT_FILENO) < 0) {
      _exit(127);
    }
  } else if (outFd < 0) {
    close(STDOUT_FILENO);
  } else {
    dup2(outFd, STDOUT_FILENO);
  }
  if (setup.captureStderr) {
    dup2(errFd, STDERR_FILENO);
  }
  if (!setup.stdinPath.empty()) {
    const int in = open(setup.stdinPath.c_str(), O_RDONLY);
    if (in < 0 || dup2(in, STDIN_FILENO) < 0) {
      _exit(127);
    }
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
  // A write past the file-size limit kills with SIGXFSZ unless the program
  // itself sets that signal aside: the tools must, so it is left at its
  // default here, whatever the test process does with it.
  signal(SIGXFSZ, SIG_DFL);
  if (setup.maxFileSize != 0) {
    const rlimit limit{setup.maxFileSize, setup.maxFileSize};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (setup.maxAddressSpace != 0) {
    const rlimit limit{setup.maxAddressSpace, setup.maxAddressSpace};
    setrlimit(RLIMIT_AS, &limit);
  }
  if (setup.runAs && !switchTo(*setup.runAs)) {
    _exit(CANNOT_DROP_PRIVILEGES);
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
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  if (setup.standardOutput == StandardOutput::readerGone) {
    close(out[0]); // before the fork: no process is left to read
    out[0] = -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    startChild(program.c_str(), args, setup, setup.standardOutput == StandardOutput::closed ? -1 : out[1],
               err[1]);
  }
  close(out[1]);
  close(err[1]);
  // Both pipes are drained together: a child that fills one while the test
  // waits on the other would never finish.
  RunResult result;
  int fds[2] = {out[0], err[0]};
  std::string* const sinks[2] = {&result.out, &result.err};
  while ((fds[0] >= 0 || fds[1] >= 0) && readOutput(fds, sinks, -1)) {
    if (fds[0] >= 0 && setup.standardOutput == StandardOutput::readerExitsEarly &&
        result.out.size() >= setup.readerBytes) {
      // The reader has what it wanted and goes: the program's next write to
      // the pipe finds nobody there.
      result.out.resize(setup.readerBytes);
      close(fds[0]);
      fds[0] = -1;
    }
  }
  for (const int fd : fds) {
    if (fd >= 0) {
      close(fd);
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

namespace {

RunResult runNamedProgram(const char* variable, const std::vector<std::string>& args,
                          const ChildSetup& setup) {
  const char* bin = std::getenv(variable);
  if (bin == nullptr) {
    ADD_FAILURE() << variable << " is not set; run through ctest";
    return {};
  }
  return runProgram(bin, args, setup);
}

} // namespace

RunResult runTool(const std::vector<std::string>& args, const ChildSetup& setup) {
  return runNamedProgram("BRACKWELL_BIN", args, setup);
}

RunResult runStampTool(const std::vector<std::string>& args, const ChildSetup& setup) {
  return runNamedProgram("BRACKWELL_STAMP_BIN", args, setup);
}

RunResult stampIn(const TempDir& dir, const std::vector<std::string>& args,
                  std::vector<std::pair<std::string, std::string>> env) {
  std::vector<std::string> expanded;
  for (const std::string& arg : args) {
    expanded.push_back(expandDir(arg, dir));
  }
  ChildSetup setup;
  setup.captureStderr = true;
  setup.env = std::move(env);
  return runStampTool(expanded, setup);
}

BackgroundRun::BackgroundRun(const std::vector<std::string>& args) {
  const char* bin = std::getenv("BRACKWELL_STAMP_BIN");
  if (bin == nullptr) {
    ADD_FAILURE() << "BRACKWELL_STAMP_BIN is not set; run through ctest";
    return;
  }
  int in[2];
  int out[2];
  int err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    ChildSetup setup;
    setup.captureStderr = true;
    // A signal ignored by whoever started the tests would stay ignored.
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
      signal(s, SIG_DFL);
    }
    startChild(bin, args, setup, out[1], err[1]);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  fcntl(in_, F_SETFD, FD_CLOEXEC);
  fcntl(out_, F_SETFD, FD_CLOEXEC);
  fcntl(err_, F_SETFD, FD_CLOEXEC);
}

BackgroundRun::~BackgroundRun() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    finish();
  }
}

bool BackgroundRun::input(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(in_, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

void BackgroundRun::closeInput() {
  if (in_ >= 0) {
    close(in_);
    in_ = -1;
  }
}

// Reads whatever the run has printed, waiting at most `timeoutMs` for the
// first of it.
void BackgroundRun::drain(int timeoutMs) {
  int fds[2] = {out_, err_};
  std::string* const sinks[2] = {&result_.out, &result_.err};
  readOutput(fds, sinks, timeoutMs);
  out_ = fds[0];
  err_ = fds[1];
}

bool BackgroundRun::waitForError(const std::string& text, int seconds) {
  for (int waited = 0; waited < seconds * 100; ++waited) {
    if (result_.err.find(text) != std::string::npos) {
      return true;
    }
    if (out_ < 0 && err_ < 0) {
      return false;
    }
    drain(10);
  }
  return result_.err.find(text) != std::string::npos;
}

void BackgroundRun::kill(int signal) {
  if (pid_ > 0) {
    ::kill(pid_, signal);
  }
}

RunResult BackgroundRun::finish() {
  closeInput();
  while (out_ >= 0 || err_ >= 0) {
    drain(-1);
  }
  if (pid_ > 0) {
    int status = 0;
    waitpid(pid_, &status, 0);
    result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
  }
  return result_;
}

} // namespace testsupport
