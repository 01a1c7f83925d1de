#include "virtio_sync.hpp"

#include <virtgpu_drm.h>

#include <array>

#include "drm_records.hpp"
#include "helper_log.hpp"

namespace scanwell {

namespace {

// virtio-gpu transfer request for the framebuffer's resource: a 56-byte
// argument with the GEM handle in word 0 and the extent in words 10 to 12.
// A successful transfer is waited for, so a capture never races it.
constexpr unsigned long virtgpu_transfer_request = 0xC0386447;
constexpr std::size_t transfer_handle_word = 0;
constexpr std::size_t transfer_width_word = 10;
constexpr std::size_t transfer_height_word = 11;
constexpr std::size_t transfer_depth_word = 12;

constexpr unsigned long virtgpu_wait_request = 0x40086448;  // DRM_IOCTL_VIRTGPU_WAIT

bool transfer(int device, std::uint32_t handle, std::uint32_t width, std::uint32_t height) {
  std::array<std::uint32_t, 14> argument{};
  static_assert(sizeof argument == 56);
  argument[transfer_handle_word] = handle;
  argument[transfer_width_word] = width;
  argument[transfer_height_word] = height;
  argument[transfer_depth_word] = 1;
  return drmIoctl(device, virtgpu_transfer_request, argument.data()) == 0;
}

void wait_for(int device, std::uint32_t handle) {
  drm_virtgpu_3d_wait wait{};
  wait.handle = handle;
  drmIoctl(device, virtgpu_wait_request, &wait);
}

void detect_virgl(HelperState& state) {
  state.virtio_detected = true;
  int features = 0;
  drm_virtgpu_getparam query{};
  query.param = VIRTGPU_PARAM_3D_FEATURES;
  query.value = reinterpret_cast<std::uintptr_t>(&features);
  state.virtio_virgl = drmIoctl(state.device, DRM_IOCTL_VIRTGPU_GETPARAM, &query) == 0 && features != 0;
  helper_log("virtio 3D features=%llu -> %s path", static_cast<unsigned long long>(features),
             state.virtio_virgl ? "DMA-BUF + GPU readback (virgl)" : "zero-copy DMA-BUF");
}

}  // namespace

void sync_virtio_resource(HelperState& state, std::uint32_t handle, std::uint32_t width, std::uint32_t height) {
  if (transfer(state.device, handle, width, height)) wait_for(state.device, handle);
  if (!state.virtio_detected) detect_virgl(state);
}

}  // namespace scanwell
