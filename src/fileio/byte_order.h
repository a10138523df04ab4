// Big-endian numbers: the byte order of every field at the end of an image
// (the descriptor's length, the trailer's code-signature offset and length,
// a signature blob's own length). One home for it, so that the reader, the
// stamper, the test builders, the benchmarks and the fuzz checks all count
// bytes the same way. (Little-endian reads serve the check of the Mach-O
// executables we ship, whose load commands are stored that way.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace fileio {

// The unsigned number stored big-endian in the sizeof(Unsigned) bytes at `bytes`.
template <typename Unsigned> Unsigned readBigEndian(const std::uint8_t* bytes) {
  static_assert(std::is_unsigned_v<Unsigned>);
  Unsigned value = 0;
  for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
    value = static_cast<Unsigned>(static_cast<Unsigned>(value << 8) | bytes[i]);
  }
  return value;
}

// Stores `value` big-endian in the sizeof(Unsigned) bytes at `bytes`.
template <typename Unsigned> void writeBigEndian(Unsigned value, std::uint8_t* bytes) {
  static_assert(std::is_unsigned_v<Unsigned>);
  for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(Unsigned) - 1 - i)));
  }
}

// The unsigned number stored little-endian in the sizeof(Unsigned) bytes at `bytes`.
template <typename Unsigned> Unsigned readLittleEndian(const std::uint8_t* bytes) {
  static_assert(std::is_unsigned_v<Unsigned>);
  Unsigned value = 0;
  for (std::size_t i = sizeof(Unsigned); i-- > 0;) {
    value = static_cast<Unsigned>(static_cast<Unsigned>(value << 8) | bytes[i]);
  }
  return value;
}

} // namespace fileio
