// Little-endian fields in a byte buffer, as the PE and ELF formats store them.
// The caller has checked that the field lies inside the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// The `width` bytes at `at` (at most 8) as one unsigned number.
inline std::uint64_t LittleEndian(const unsigned char* b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = width; i > 0; --i) v = (v << 8) | b[at + i - 1];
  return v;
}

inline std::uint64_t LittleEndian(const std::vector<unsigned char>& b, std::size_t at,
                                  std::size_t width) {
  return LittleEndian(b.data(), at, width);
}

inline std::uint16_t LittleEndian16(const std::vector<unsigned char>& b, std::size_t at) {
  return static_cast<std::uint16_t>(LittleEndian(b, at, 2));
}

inline std::uint32_t LittleEndian32(const std::vector<unsigned char>& b, std::size_t at) {
  return static_cast<std::uint32_t>(LittleEndian(b, at, 4));
}

}  // namespace platform
