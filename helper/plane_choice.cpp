#include "plane_choice.hpp"

#include <algorithm>

#include "drm_properties.hpp"
#include "helper_log.hpp"

namespace scanwell {

namespace {

constexpr std::uint64_t plane_type_primary = 1;
constexpr std::uint64_t plane_type_cursor = 2;

std::uint64_t plane_type(HelperState& state, std::uint32_t plane_id) {
  return get_prop_val(state.device, plane_id, DRM_MODE_OBJECT_PLANE, "type", state.property_names);
}

std::optional<ChosenPlane> candidate(int device, std::uint32_t plane_id, std::uint32_t crtc_id) {
  Plane plane{drmModeGetPlane(device, plane_id)};
  if (!plane || plane->fb_id == 0) return std::nullopt;
  if (crtc_id != 0 && plane->crtc_id != crtc_id) return std::nullopt;
  return ChosenPlane{plane_id, plane->fb_id, plane->crtc_id};
}

// Plane types never change, so the list is built once and kept.
void build_primary_ids(HelperState& state, const drmModePlaneRes& planes) {
  state.primary_count = 0;
  for (std::uint32_t i = 0; i < planes.count_planes; ++i) {
    if (static_cast<std::size_t>(state.primary_count) == state.primary_ids.size()) return;
    if (plane_type(state, planes.planes[i]) != plane_type_primary) continue;
    state.primary_ids[static_cast<std::size_t>(state.primary_count++)] = planes.planes[i];
  }
}

bool is_primary(const HelperState& state, std::uint32_t plane_id) {
  auto end = state.primary_ids.begin() + state.primary_count;
  return std::find(state.primary_ids.begin(), end, plane_id) != end;
}

void report_match(const HelperState& state, const ChosenPlane& plane, std::uint32_t crtc_id, bool primary) {
  if (!state.debug) return;
  helper_log("matched plane=%u to crtc=%u (fb=%u, %s)", plane.plane_id, crtc_id, plane.fb_id,
             primary ? "PRIMARY" : "overlay");
}

}  // namespace

std::optional<ChosenPlane> choose_plane(HelperState& state, const drmModePlaneRes& planes, std::uint32_t crtc_id) {
  std::optional<ChosenPlane> chosen;
  for (std::uint32_t i = 0; i < planes.count_planes; ++i) {
    auto plane = candidate(state.device, planes.planes[i], crtc_id);
    if (!plane) continue;
    if (state.primary_count < 0) build_primary_ids(state, planes);
    bool primary = is_primary(state, plane->plane_id);
    if (!primary && chosen) continue;
    chosen = plane;
    report_match(state, *plane, crtc_id, primary);
    if (primary) break;
  }
  return chosen;
}

std::optional<ChosenPlane> find_cursor_plane(HelperState& state, const drmModePlaneRes& planes, std::uint32_t crtc_id) {
  for (std::uint32_t i = 0; i < planes.count_planes; ++i) {
    auto plane = candidate(state.device, planes.planes[i], crtc_id);
    if (plane && plane_type(state, plane->plane_id) == plane_type_cursor) return plane;
  }
  return std::nullopt;
}

}  // namespace scanwell
