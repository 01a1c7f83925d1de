#pragma once
#include <optional>
#include <string>

namespace scanwell {

// The helper serves only the library that started it: a socket on
// descriptor 3 whose peer runs as the helper's own user.
bool check_launch_socket();

// The device path, resolved, when it lies under /dev/dri/; none otherwise.
std::optional<std::string> resolve_device_path(const char* path);

}  // namespace scanwell
