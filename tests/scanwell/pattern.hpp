#pragma once
#include <cstddef>
#include <string>

namespace scanwell_test {

// Bytes that differ from frame to frame (by seed) and along a frame, so a
// shifted, cut or stale copy never matches.
inline std::string pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + i / 251 + seed) & 0xFF);
  return bytes;
}

}  // namespace scanwell_test
