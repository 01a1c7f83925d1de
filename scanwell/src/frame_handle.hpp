#pragma once
#include <cstdint>
#include <cstring>

#include "scoped_fd.hpp"

namespace scanwell {

// What a grabbed frame's release_handle holds: the descriptor the library
// handed out, owned until the frame is released.
struct FrameHandle {
  static constexpr std::uint32_t held = 0x46574353;  // "SCWF"

  std::uint32_t state = 0;
  std::int32_t fd = -1;

  static void store(void* release_handle, ScopedFd descriptor) {
    FrameHandle handle{held, descriptor.release()};
    std::memcpy(release_handle, &handle, sizeof handle);
  }

  // The descriptor back, once: the handle is cleared, so a second release
  // of the same frame does nothing.
  static ScopedFd take(void* release_handle) {
    FrameHandle handle;
    std::memcpy(&handle, release_handle, sizeof handle);
    std::memset(release_handle, 0, sizeof handle);
    return ScopedFd(handle.state == held ? handle.fd : -1);
  }
};

}  // namespace scanwell
