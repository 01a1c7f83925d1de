#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "hotplug_events.hpp"
#include "scanwell.h"

namespace scanwell {

// Notices when the set or geometry of a device's displays changes. It is
// asked before every grab, so a call costs one non-blocking read of the
// kernel's hotplug events and one CRTC query of the captured CRTC; the
// connectors are listed again only after a DRM event or a change of that
// CRTC. A mode set on another CRTC that comes without a hotplug event is
// seen at the next event.
class DisplayWatch {
 public:
  DisplayWatch(int device, std::uint32_t crtc_id, std::vector<DisplayInfo> displays);

  // True when something changed since the previous call, or since the
  // watch was made for the first call.
  bool changed();

 private:
  struct CrtcGeometry {
    bool mode_valid = false;
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const CrtcGeometry&) const = default;
  };

  CrtcGeometry read_crtc() const;
  // Lists the displays again and keeps the new state; true when it differs.
  bool relist();

  int device_;
  std::uint32_t crtc_id_;
  std::vector<DisplayInfo> displays_;
  CrtcGeometry crtc_;
  std::optional<HotplugEvents> events_;  // opened at the first call
};

}  // namespace scanwell
