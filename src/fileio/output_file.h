// Writing a whole buffer to a path the user gave, and telling whether every
// byte of it arrived.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class WriteResult {
  written, // every byte reached the file and it closed cleanly
  not_opened,
  failed // opened, but a write or the close failed
};

// Creates or truncates `path` (mode 0666 less the umask, like a shell
// redirection) and writes `bytes` to it.
WriteResult writeOutputFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
