#pragma once
#include <cstdint>

#include "helper_state.hpp"

namespace scanwell {

// Answers one frame request: the framebuffer scanned out on `crtc_id`
// (0: any CRTC) as a DMA-BUF, or as pixels for a linear framebuffer, or the
// all-zero reply when there is nothing to send.
void serve_frame(HelperState& state, std::uint32_t crtc_id);

}  // namespace scanwell
