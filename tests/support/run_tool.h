// Running a built program as a child process, capturing its standard output.
#pragma once

#include <string>
#include <sys/resource.h>
#include <utility>
#include <vector>

namespace testsupport {

struct RunResult {
  std::string out;
  int exitCode = -1; // 128 + signal number when it was killed
};

struct ChildSetup {
  std::vector<std::pair<std::string, std::string>> env;
  // 0: leave as is. 4 leaves one descriptor for the dynamic loader and none
  // for a pipe, so the utility cannot be started.
  rlim_t maxOpenFiles = 0;
};

// Runs `program` with `args`; standard error passes through to the test log.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const ChildSetup& setup);

// Runs the program named by the BRACKWELL_BIN environment variable (set by
// ctest to the brackwell executable built against the stand-in utility).
RunResult runTool(const std::vector<std::string>& args, const ChildSetup& setup);

void replaceAll(std::string& text, const std::string& from, const std::string& to);

} // namespace testsupport
