// The part every libFuzzer entry point shares: a check's fault becomes a crash,
// which libFuzzer reports and saves together with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzzcheck {

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

inline void stopOnFault(const std::string& fault) {
  if (!fault.empty()) {
    std::fprintf(stderr, "brackwell fuzz check failed: %s\n", fault.c_str());
    std::abort();
  }
}

} // namespace fuzzcheck
