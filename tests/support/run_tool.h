// Running a built program as a child process, capturing its standard output.
#pragma once

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
constexpr int CANNOT_DROP_PRIVILEGES = 125;

struct ChildSetup {
  std::vector<std::pair<std::string, std::string>> env;
  // 0: leave as is. 4 leaves one descriptor for the dynamic loader and none
  // for a pipe, so the utility cannot be started.
  rlim_t maxOpenFiles = 0;
  // 0: leave as is. Otherwise the largest file the run may write (RLIMIT_FSIZE).
  rlim_t maxFileSize = 0;
  // Empty: standard input is inherited. Otherwise the file read as standard input.
  std::string stdinPath;
  // Standard error goes to RunResult::err instead of the test log.
  bool captureStderr = false;
  // Set: the child takes on this user and group before it starts the
  // program (needs root), or exits with CANNOT_DROP_PRIVILEGES.
  std::optional<std::pair<uid_t, gid_t>> runAs;
};

// Runs `program` with `args`; standard error passes through to the test log.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const ChildSetup& setup);

// Runs the program named by the BRACKWELL_BIN environment variable (set by
// ctest to the brackwell executable built against the stand-in utility).
RunResult runTool(const std::vector<std::string>& args, const ChildSetup& setup);

// Runs the program named by BRACKWELL_STAMP_BIN (set by ctest to brackwell-stamp).
RunResult runStampTool(const std::vector<std::string>& args, const ChildSetup& setup);

void replaceAll(std::string& text, const std::string& from, const std::string& to);

} // namespace testsupport
