#include "app/shell_command.h"

#include <cstdio>

CommandResult runShellCommand(const std::string& command) {
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
