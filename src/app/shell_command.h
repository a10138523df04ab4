// Running the disk-image utility and capturing what it prints.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

// The raw status of the shell pipe's close (a wait status, never decoded: an
// exit code of 1 shows as 256), or -1 when the pipe could not be opened; and
// the command's standard output.
using CommandResult = std::pair<std::int32_t, std::string>;

// Runs `command` through the system shell with its standard output piped
// back. Standard error is left to go wherever ours goes.
CommandResult runShellCommand(const std::string& command);
