#pragma once
#include <cstdint>
#include <optional>

#include "drm_records.hpp"
#include "helper_state.hpp"

namespace scanwell {

struct ChosenPlane {
  std::uint32_t plane_id = 0;
  std::uint32_t fb_id = 0;
  std::uint32_t crtc_id = 0;
};

// The plane to capture on `crtc_id` (0: any CRTC): the first primary plane
// with a framebuffer there, else the first other plane with one.
std::optional<ChosenPlane> choose_plane(HelperState& state, const drmModePlaneRes& planes, std::uint32_t crtc_id);

// The cursor plane with a framebuffer on `crtc_id` (0: any CRTC).
std::optional<ChosenPlane> find_cursor_plane(HelperState& state, const drmModePlaneRes& planes, std::uint32_t crtc_id);

}  // namespace scanwell
