#include "device_setup.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "drm_records.hpp"
#include "helper_log.hpp"

namespace scanwell {

namespace {

// Not yet named by every libdrm this builds against.
constexpr std::uint64_t client_cap_cursor_plane_hotspot = 6;

void drop_implicit_master(int device, const std::string& path) {
  // Succeeds only when the open made us master; keeping it would stop the
  // desktop's compositor from setting modes.
  if (drmDropMaster(device) == 0) helper_log("dropped implicit DRM master on %s", path.c_str());
}

void set_client_caps(int device) {
  drmSetClientCap(device, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
  drmSetClientCap(device, DRM_CLIENT_CAP_ATOMIC, 1);
  drmSetClientCap(device, client_cap_cursor_plane_hotspot, 1);
}

// "virtio_gpu", or a name that continues it.
bool is_virtio_driver(const char* name, std::size_t length) {
  constexpr char virtio_gpu[] = "virtio_gpu";
  return length >= sizeof virtio_gpu - 1 && std::strncmp(name, virtio_gpu, sizeof virtio_gpu - 1) == 0;
}

bool driven_by_virtio(int device) {
  Version version{drmGetVersion(device)};
  if (!version || version->name == nullptr || version->name_len < 0) return false;
  return is_virtio_driver(version->name, static_cast<std::size_t>(version->name_len));
}

}  // namespace

std::optional<OpenedDevice> open_device(const std::string& path) {
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    helper_log("failed to open %s: %s", path.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  drop_implicit_master(fd.get(), path);
  set_client_caps(fd.get());
  bool virtio = driven_by_virtio(fd.get());
  helper_log("persistent fd=%d device=%s virtio=%d", fd.get(), path.c_str(), virtio ? 1 : 0);
  return OpenedDevice{std::move(fd), virtio};
}

}  // namespace scanwell
