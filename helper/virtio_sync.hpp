#pragma once
#include <cstdint>

#include "helper_state.hpp"

namespace scanwell {

// On virtio-gpu: asks the driver to transfer the framebuffer's resource and
// waits for it, and on the first frame learns whether the device has 3D
// (virgl), where the picture lives on the host.
void sync_virtio_resource(HelperState& state, std::uint32_t handle, std::uint32_t width, std::uint32_t height);

}  // namespace scanwell
