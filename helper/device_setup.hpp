#pragma once
#include <optional>
#include <string>

#include "scoped_fd.hpp"

namespace scanwell {

struct OpenedDevice {
  ScopedFd fd;
  bool virtio = false;
};

// Opens the DRM device read-only, gives up DRM master if the open made the
// helper master, and asks for every plane, atomic properties and cursor
// hotspots. None when the device cannot be opened.
std::optional<OpenedDevice> open_device(const std::string& path);

}  // namespace scanwell
