#pragma once
#include <span>

#include "scoped_fd.hpp"

namespace scanwell {

// The kernel's device events (uevents), read without blocking. Connecting
// or disconnecting a monitor sends one for the DRM device.
class HotplugEvents {
 public:
  // Without a netlink socket (a sandbox may forbid it) no event is ever seen.
  HotplugEvents();

  // Reads every pending event; true when one concerned a DRM device, or
  // when events were lost because too many came at once.
  bool drm_event_pending();

 private:
  ScopedFd socket_;
};

// Whether a kernel uevent ("ACTION@DEVPATH", then "KEY=VALUE" fields, each
// ended by a NUL byte) comes from the drm subsystem.
bool is_drm_uevent(std::span<const char> message);

}  // namespace scanwell
