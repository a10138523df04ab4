// Running a built program as a child process, capturing its standard output.
#pragma once

#include "support/test_support.h"

#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace testsupport {

struct RunResult {
  std::string out;
  std::string err;   // filled only when ChildSetup::captureStderr is set
  int exitCode = -1; // 128 + signal number when it was killed
};

// Exit status of a child that could not take on ChildSetup::runAs.
constexpr int CANNOT_DROP_PRIVILEGES = 126;

struct Identity {
  uid_t uid;
  gid_t gid;
};

// The unprivileged account root can always switch to (Debian's nobody /
// nogroup), for runs in which permissions must count.
constexpr Identity NOBODY{65534, 65534};

// What the program's standard output is connected to.
enum class StandardOutput {
  captured,         // a pipe read into RunResult::out
  closed,           // nothing: descriptor 1 is not open, so the program's own files may get it
  readerGone,       // a pipe nobody reads any more (a pipeline whose reader exited)
  readerExitsEarly, // a pipe whose reader stops after ChildSetup::readerBytes bytes and goes away
  file              // ChildSetup::stdoutPath, opened for appending (a device such as /dev/full, or a file)
};

struct ChildSetup {
  std::vector<std::pair<std::string, std::string>> env;
  // 0: leave as is. 4 leaves one descriptor for the dynamic loader and none
  // for a pipe, so the utility cannot be started.
  rlim_t maxOpenFiles = 0;
  // 0: leave as is. Otherwise the largest file the program may write: a write
  // past it fails with EFBIG, as on a full file system or quota, once the
  // program has set SIGXFSZ aside (it starts at its default, which kills).
  rlim_t maxFileSize = 0;
  // 0: leave as is. Otherwise the most address space the program may map:
  // an allocation past it fails.
  rlim_t maxAddressSpace = 0;
  // Empty: standard input is inherited. Otherwise the file read as standard input.
  std::string stdinPath;
  // Standard error goes to RunResult::err instead of the test log.
  bool captureStderr = false;
  // Run the program as this user and group, with no supplementary groups
  // (needs root). A run that cannot switch exits with CANNOT_DROP_PRIVILEGES.
  std::optional<Identity> runAs;
  // Not 0: the program is killed by SIGALRM after this many seconds (exit
  // code 128 + 14), so that a run that blocks fails instead of hanging.
  unsigned timeoutSeconds = 0;
  StandardOutput standardOutput = StandardOutput::captured;
  std::size_t readerBytes = 0; // with readerExitsEarly: what the reader takes (into RunResult::out)
  std::string stdoutPath;      // with file
  // Start the program with SIGCHLD ignored, as a parent that never waits for
  // its children passes it on through exec.
  bool ignoreChildSignal = false;
};

// Whether `identity` may execute `program` and read and execute `script`
// (the stand-in utility), checked in a child that has switched to it.
bool canRunAs(const Identity& identity, const std::string& program, const std::string& script);

// Runs `program` with `args`; standard error passes through to the test log
// unless captured.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const ChildSetup& setup);

// Runs the program named by the BRACKWELL_BIN environment variable (set by
// ctest to the brackwell executable built against the stand-in utility).
RunResult runTool(const std::vector<std::string>& args, const ChildSetup& setup);

// Runs the program named by BRACKWELL_STAMP_BIN (set by ctest to brackwell-stamp).
RunResult runStampTool(const std::vector<std::string>& args, const ChildSetup& setup);

// A run of brackwell-stamp in `dir` ({DIR} in `args` expanded), with its
// standard output and error.
RunResult stampIn(const TempDir& dir, const std::vector<std::string>& args,
                  std::vector<std::pair<std::string, std::string>> env = {});

// The program named by BRACKWELL_STAMP_BIN, started in the background with
// its standard input on a pipe the test writes to, and standard output and
// error on pipes the test reads: for runs that must be caught while they
// wait, killed, or run beside another.
class BackgroundRun {
public:
  explicit BackgroundRun(const std::vector<std::string>& args);
  ~BackgroundRun(); // kills a run still going
  BackgroundRun(const BackgroundRun&) = delete;
  BackgroundRun& operator=(const BackgroundRun&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Writes to the run's standard input; closeInput() ends it.
  bool input(const std::string& bytes);
  void closeInput();
  // Waits up to `seconds` for standard error to contain `text`.
  bool waitForError(const std::string& text, int seconds = 10);
  void kill(int signal);
  // Ends its input, waits for it to exit and returns what it printed.
  RunResult finish();

private:
  void drain(int timeoutMs);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  RunResult result_;
};

} // namespace testsupport
