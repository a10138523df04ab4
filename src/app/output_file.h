// Writing the extracted profile to the path the user gave.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class WriteResult {
  written, // every byte reached the file and it closed cleanly
  not_opened,
  failed // opened, but a write or the close failed
};

// Creates or truncates `path` and writes `bytes` to it.
WriteResult writeOutputFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
