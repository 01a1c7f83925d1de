#pragma once
#include <cstdint>

#include "helper_protocol.hpp"
#include "helper_state.hpp"

namespace scanwell {

// Fills hdr_eotf and hdr_peak_nits from the HDR output metadata of the
// connected connector that `crtc_id` drives; leaves them 0 when it has none.
void fill_hdr_metadata(HelperState& state, std::uint32_t crtc_id, FrameReply& reply);

}  // namespace scanwell
