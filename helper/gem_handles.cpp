#include "gem_handles.hpp"

#include <algorithm>

namespace scanwell {

GemHandles::GemHandles(int device, const drmModeFB2& framebuffer) : device_(device) {
  std::copy(std::begin(framebuffer.handles), std::end(framebuffer.handles), handles_.begin());
}

GemHandles::~GemHandles() {
  for (std::size_t i = 0; i < handles_.size(); ++i) {
    std::uint32_t handle = handles_[i];
    bool seen = std::find(handles_.begin(), handles_.begin() + static_cast<std::ptrdiff_t>(i), handle) !=
                handles_.begin() + static_cast<std::ptrdiff_t>(i);
    if (handle == 0 || seen) continue;
    drm_gem_close request{};
    request.handle = handle;
    drmIoctl(device_, DRM_IOCTL_GEM_CLOSE, &request);
  }
}

}  // namespace scanwell
