#pragma once
#include <cstdint>

#include "helper_state.hpp"

namespace scanwell {

// Answers one cursor request: the position, hotspot and image of the cursor
// plane on `crtc_id` (0: any CRTC), the image as packed rows; valid 0 when
// there is no cursor or its image cannot be read.
void serve_cursor(HelperState& state, std::uint32_t crtc_id);

}  // namespace scanwell
