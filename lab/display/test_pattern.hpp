#pragma once
#include <cstdint>

namespace corvane::lab {

// The pictures the KMS desktop stand-in shows, so that a capture can be
// checked pixel by pixel. Desktop: XRGB8888 where blue is x mod 256, green
// is y mod 256 and red holds x / 256 (bits 0-2), y / 256 (bits 3-6) and the
// output's index (bit 7): rows, columns, pitch and output mix-ups all show.
constexpr uint32_t desktop_pixel(uint32_t x, uint32_t y, uint32_t output_index) {
  uint32_t red = ((x >> 8) & 0x7) | (((y >> 8) & 0xf) << 3) | ((output_index & 1) << 7);
  return (red << 16) | ((y & 0xff) << 8) | (x & 0xff);
}

inline constexpr uint32_t cursor_size = 64;

// Cursor: ARGB8888, premultiplied. An opaque triangle in the top left corner
// (x + y < 40) whose colour counts x and y, a half-transparent white band
// (40 <= x + y < 48) along its edge, transparent elsewhere.
constexpr uint32_t cursor_pixel(uint32_t x, uint32_t y) {
  if (x + y < 40) return 0xff000000u | ((x * 4) << 16) | ((y * 4) << 8) | 0x80u;
  if (x + y < 48) return 0x80808080u;
  return 0;
}

}  // namespace corvane::lab
