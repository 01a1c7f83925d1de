#pragma once
#include <array>
#include <cstdint>

#include "drm_properties.hpp"
#include "helper_protocol.hpp"

namespace scanwell {

// What the helper keeps from start-up to exit. Everything else lives for
// one request only.
struct HelperState {
  int device = -1;  // the DRM device, open read-only for the helper's whole life
  bool virtio = false;
  bool debug = false;  // SCANWELL_DEBUG: report plane matches
  PropertyNames property_names;

  // Primary planes, found once: plane types never change while the device is open.
  int primary_count = -1;
  std::array<std::uint32_t, 32> primary_ids{};

  std::array<std::uint8_t, cursor_max_side * cursor_max_side * 4> packed{};
  int frame_num = 0;
  std::uint32_t seq_counter = 0;
  bool virtio_detected = false;
  bool virtio_virgl = false;
};

}  // namespace scanwell
