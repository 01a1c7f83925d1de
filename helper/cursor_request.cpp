#include "cursor_request.hpp"

#include <fcntl.h>
#include <linux/dma-buf.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "drm_properties.hpp"
#include "drm_records.hpp"
#include "gem_handles.hpp"
#include "helper_log.hpp"
#include "helper_protocol.hpp"
#include "plane_choice.hpp"
#include "scoped_fd.hpp"
#include "socket_io.hpp"

namespace scanwell {

namespace {

void send_reply(const CursorReply& reply, const std::uint8_t* pixels = nullptr) {
  if (!send_all(helper_socket, &reply, sizeof reply) || pixels == nullptr) return;
  send_all(helper_socket, pixels, reply.data_size);
}

std::int32_t plane_value(HelperState& state, std::uint32_t plane_id, const char* name) {
  return static_cast<std::int32_t>(
      get_prop_val(state.device, plane_id, DRM_MODE_OBJECT_PLANE, name, state.property_names));
}

bool image_acceptable(const drmModeFB2& framebuffer) {
  return framebuffer.width <= cursor_max_side && framebuffer.height <= cursor_max_side &&
         framebuffer.pitches[0] != 0 && framebuffer.pitches[0] >= framebuffer.width * 4;
}

bool sync_read(int dmabuf, std::uint64_t flags) {
  dma_buf_sync sync{};
  sync.flags = flags;
  int result;
  do {
    result = ::ioctl(dmabuf, DMA_BUF_IOCTL_SYNC, &sync);
  } while (result != 0 && (errno == EINTR || errno == EAGAIN));
  return result == 0;
}

// Copies the cursor image into `packed` without the pitch padding, with
// CPU access bracketed so the GPU's writes are visible.
bool pack_image(HelperState& state, std::uint32_t handle, const drmModeFB2& framebuffer) {
  int exported = -1;
  if (drmPrimeHandleToFD(state.device, handle, DRM_CLOEXEC, &exported) != 0) return false;
  ScopedFd dmabuf(exported);
  std::size_t pitch = framebuffer.pitches[0];
  std::size_t size = pitch * framebuffer.height;
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, dmabuf.get(), 0);
  if (address == MAP_FAILED) return false;

  bool started = sync_read(dmabuf.get(), DMA_BUF_SYNC_READ | DMA_BUF_SYNC_START);
  if (!started) helper_log("cursor DMA_BUF_SYNC_START failed: %s", std::strerror(errno));
  std::size_t row = std::size_t{framebuffer.width} * 4;
  const auto* source = static_cast<const std::uint8_t*>(address);
  for (std::size_t y = 0; y < framebuffer.height; ++y) {
    std::memcpy(state.packed.data() + y * row, source + y * pitch, row);
  }
  if (started && !sync_read(dmabuf.get(), DMA_BUF_SYNC_READ | DMA_BUF_SYNC_END)) {
    helper_log("cursor DMA_BUF_SYNC_END failed: %s", std::strerror(errno));
  }
  ::munmap(address, size);
  return true;
}

}  // namespace

void serve_cursor(HelperState& state, std::uint32_t crtc_id) {
  CursorReply reply{};
  PlaneResources planes{drmModeGetPlaneResources(state.device)};
  if (!planes) return send_reply(reply);
  auto plane = find_cursor_plane(state, *planes, crtc_id);
  if (!plane) return send_reply(reply);
  reply.x = plane_value(state, plane->plane_id, "CRTC_X");
  reply.y = plane_value(state, plane->plane_id, "CRTC_Y");
  reply.hot_x = plane_value(state, plane->plane_id, "HOTSPOT_X");
  reply.hot_y = plane_value(state, plane->plane_id, "HOTSPOT_Y");

  Framebuffer framebuffer{drmModeGetFB2(state.device, plane->fb_id)};
  if (!framebuffer) return send_reply(reply);
  GemHandles handles(state.device, *framebuffer);
  if (handles.plane0() == 0) return send_reply(reply);
  reply.width = framebuffer->width;
  reply.height = framebuffer->height;
  if (!image_acceptable(*framebuffer)) return send_reply(reply);
  if (!pack_image(state, handles.plane0(), *framebuffer)) return send_reply(reply);
  reply.valid = 1;
  reply.data_size = reply.width * reply.height * 4;
  send_reply(reply, state.packed.data());
}

}  // namespace scanwell
