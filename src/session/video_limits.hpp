#pragma once
// The bounds of a video stream, checked alike on what the KVM asks for and
// on what this service announces.
#include <cstdint>
#include <string>

#include "error.hpp"

namespace corvane {

inline constexpr uint32_t max_display_dimension = 16384;
inline constexpr uint32_t max_frame_rate = 240;

inline Result<void> check_display_resolution(uint32_t width, uint32_t height) {
  auto within = [](uint32_t value) { return value >= 1 && value <= max_display_dimension; };
  if (within(width) && within(height)) return {};
  return fail("invalid display resolution: " + std::to_string(width) + "x" +
              std::to_string(height));
}

inline Result<void> check_frame_rate(uint32_t rate) {
  if (rate >= 1 && rate <= max_frame_rate) return {};
  return fail("invalid frame rate: " + std::to_string(rate));
}

}  // namespace corvane
