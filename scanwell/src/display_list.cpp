#include "display_list.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "drm_properties.hpp"
#include "drm_records.hpp"

namespace scanwell {

namespace {

// The name the kernel gives the connector in /sys/class/drm: its type and
// its number among connectors of that type, e.g. HDMI-A-1.
void write_name(const drmModeConnector& connector, DisplayInfo& info) {
  const char* type = drmModeGetConnectorTypeName(connector.connector_type);
  std::snprintf(info.name, sizeof info.name, "%s-%u", type ? type : "Unknown", connector.connector_type_id);
}

std::uint32_t connector_crtc(int device, const drmModeConnector& connector) {
  if (connector.encoder_id == 0) return 0;
  Encoder encoder{drmModeGetEncoder(device, connector.encoder_id)};
  return encoder ? encoder->crtc_id : 0;
}

// A CRTC that keeps its mode while its display sleeps reports ACTIVE 0;
// drivers without atomic properties have no sleep state to report.
bool crtc_active(int device, std::uint32_t crtc_id) {
  PropertyNames names;
  return find_property(device, crtc_id, DRM_MODE_OBJECT_CRTC, "ACTIVE", names).value_or(1) != 0;
}

void write_crtc_state(int device, bool connected, DisplayInfo& info) {
  if (info.crtc_id == 0) return;
  Crtc crtc{drmModeGetCrtc(device, info.crtc_id)};
  if (!crtc) return;
  info.x = static_cast<std::int32_t>(crtc->x);
  info.y = static_cast<std::int32_t>(crtc->y);
  if (!crtc->mode_valid) return;
  info.width = crtc->mode.hdisplay;
  info.height = crtc->mode.vdisplay;
  info.refresh = crtc->mode.vrefresh;
  info.active = connected && crtc_active(device, info.crtc_id) ? 1 : 0;
}

std::optional<DisplayInfo> describe(int device, std::uint32_t connector_id) {
  Connector connector{drmModeGetConnectorCurrent(device, connector_id)};
  if (!connector) return std::nullopt;
  DisplayInfo info{};
  info.connector_id = connector_id;
  write_name(*connector, info);
  info.crtc_id = connector_crtc(device, *connector);
  write_crtc_state(device, connector->connection != DRM_MODE_DISCONNECTED, info);
  return info;
}

}  // namespace

std::optional<std::vector<DisplayInfo>> list_connectors(int device) {
  Resources resources{drmModeGetResources(device)};
  if (!resources) return std::nullopt;
  std::vector<DisplayInfo> displays;
  for (int i = 0; i < resources->count_connectors; ++i) {
    if (auto info = describe(device, resources->connectors[i])) displays.push_back(*info);
  }
  return displays;
}

std::uint32_t first_lit_crtc(const std::vector<DisplayInfo>& displays) {
  auto lit = std::find_if(displays.begin(), displays.end(), [](const DisplayInfo& d) { return d.active != 0; });
  return lit == displays.end() ? 0 : lit->crtc_id;
}

bool same_displays(const std::vector<DisplayInfo>& a, const std::vector<DisplayInfo>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(DisplayInfo)) == 0);
}

}  // namespace scanwell
