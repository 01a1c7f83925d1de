#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "scanwell.h"

namespace scanwell {

// The connectors of a DRM device with their CRTC, position, current mode
// and lit state, as they stand: connectors are not probed, so listing
// never disturbs the displays. None when the device has no display
// controllers.
std::optional<std::vector<DisplayInfo>> list_connectors(int device);

// The CRTC of the first lit connector; 0 when none is lit.
std::uint32_t first_lit_crtc(const std::vector<DisplayInfo>& displays);

bool same_displays(const std::vector<DisplayInfo>& a, const std::vector<DisplayInfo>& b);

}  // namespace scanwell
