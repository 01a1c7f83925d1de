#include "frame_request.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "drm_records.hpp"
#include "gem_handles.hpp"
#include "hdr_metadata.hpp"
#include "helper_log.hpp"
#include "helper_protocol.hpp"
#include "plane_choice.hpp"
#include "scoped_fd.hpp"
#include "socket_io.hpp"
#include "virtio_sync.hpp"

namespace scanwell {

namespace {

void send_zero_reply() {
  FrameReply reply{};
  send_all(helper_socket, &reply, sizeof reply);
}

void send_error(const char* what) {
  helper_log("%s", what);
  send_zero_reply();
}

void send_error_errno(const char* what) {
  helper_perror(what);
  send_zero_reply();
}

bool geometry_acceptable(std::uint32_t pitch, std::uint32_t height) {
  return pitch != 0 && height != 0 && frame_max_bytes / pitch >= height;
}

std::uint64_t wall_clock_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

FrameReply describe(const drmModeFB2& framebuffer, std::uint32_t fb_id) {
  FrameReply reply{};
  reply.width = framebuffer.width;
  reply.height = framebuffer.height;
  reply.pitch = framebuffer.pitches[0];
  reply.fourcc = framebuffer.pixel_format;
  reply.fb_id = fb_id;
  reply.modifier = (framebuffer.flags & DRM_MODE_FB_MODIFIERS) ? framebuffer.modifier : drm_format_mod_invalid;
  return reply;
}

// A mapping of the framebuffer's pixels, unmapped when dropped.
class PixelMapping {
 public:
  PixelMapping(void* address, std::size_t size) : address_(address), size_(size) {}
  PixelMapping(const PixelMapping&) = delete;
  PixelMapping& operator=(const PixelMapping&) = delete;
  ~PixelMapping() { ::munmap(address_, size_); }

  const std::uint8_t* bytes() const { return static_cast<const std::uint8_t*>(address_); }
  std::size_t size() const { return size_; }

  // The 32-bit word at `offset`, or 0 beyond the mapping.
  std::uint32_t word_at(std::size_t offset) const {
    if (offset > size_ || size_ - offset < sizeof(std::uint32_t)) return 0;
    std::uint32_t word;
    std::memcpy(&word, bytes() + offset, sizeof word);
    return word;
  }

 private:
  void* address_;
  std::size_t size_;
};

bool worth_reporting(int frame_num) { return frame_num <= 5 || frame_num % 60 == 0; }

// Three sample pixels, so a log shows whether the copied frames change.
void report_pixels(const HelperState& state, const FrameReply& reply, const PixelMapping& pixels) {
  std::size_t row_words = reply.pitch / 4;
  std::size_t top = reply.pitch >= 3844 ? 3840 : 0;
  std::size_t clock = (row_words * 94 + 960) * 4;
  std::size_t mid = (row_words * 500 + 960) * 4;
  helper_log("frame=%d fb=%u mod=0x%lx top=%08x clock=%08x mid=%08x", state.frame_num, reply.fb_id,
             static_cast<unsigned long>(reply.modifier), pixels.word_at(top), pixels.word_at(clock),
             pixels.word_at(mid));
}

void send_pixels(HelperState& state, std::uint32_t handle, FrameReply reply) {
  drm_mode_map_dumb map{};
  map.handle = handle;
  if (drmIoctl(state.device, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0) return send_error_errno("MODE_MAP_DUMB failed");
  std::size_t size = std::size_t{reply.pitch} * reply.height;
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, state.device, static_cast<off_t>(map.offset));
  if (address == MAP_FAILED) return send_error_errno("mmap failed");
  PixelMapping pixels(address, size);
  reply.transfer = static_cast<std::uint32_t>(FrameTransfer::pixels);
  reply.data_size = static_cast<std::uint32_t>(size);
  ++state.frame_num;
  if (worth_reporting(state.frame_num)) report_pixels(state, reply, pixels);
  if (send_all(helper_socket, &reply, sizeof reply)) send_all(helper_socket, pixels.bytes(), pixels.size());
}

enum class Export { sent, use_pixels };

Export send_dmabuf(const HelperState& state, std::uint32_t handle, FrameReply reply) {
  int exported = -1;
  int result = drmPrimeHandleToFD(state.device, handle, DRM_CLOEXEC, &exported);
  if (result != 0) {
    if (state.virtio_virgl) {
      send_error("virgl DMA-BUF export failed (no usable CPU readback for a host scanout)");
      return Export::sent;
    }
    helper_log("drmPrimeHandleToFD failed (%d), falling back to pixels", result);
    return Export::use_pixels;
  }
  ScopedFd dmabuf(exported);
  reply.transfer = static_cast<std::uint32_t>(state.virtio_virgl ? FrameTransfer::host_dmabuf : FrameTransfer::dmabuf);
  reply.data_size = 0;
  send_with_descriptor(helper_socket, &reply, sizeof reply, dmabuf.get());
  return Export::sent;
}

void send_framebuffer(HelperState& state, const ChosenPlane& plane, const drmModeFB2& framebuffer,
                      std::uint32_t handle) {
  if (state.virtio) sync_virtio_resource(state, handle, framebuffer.width, framebuffer.height);
  FrameReply reply = describe(framebuffer, plane.fb_id);
  if (plane.crtc_id != 0) fill_hdr_metadata(state, plane.crtc_id, reply);
  reply.sequence = ++state.seq_counter;
  reply.timestamp = wall_clock_ms();
  // Tiled, compressed and unknown layouts can only travel as the buffer
  // itself; only an explicitly linear one is copied.
  bool zero_copy = reply.modifier != 0 || state.virtio;
  if (zero_copy && send_dmabuf(state, handle, reply) == Export::sent) return;
  send_pixels(state, handle, reply);
}

}  // namespace

void serve_frame(HelperState& state, std::uint32_t crtc_id) {
  PlaneResources planes{drmModeGetPlaneResources(state.device)};
  if (!planes) return send_error_errno("drmModeGetPlaneResources failed");
  auto plane = choose_plane(state, *planes, crtc_id);
  if (!plane) return send_error("no active framebuffer found");
  Framebuffer framebuffer{drmModeGetFB2(state.device, plane->fb_id)};
  if (!framebuffer) return send_error_errno("drmModeGetFB2 failed");
  GemHandles handles(state.device, *framebuffer);
  if (handles.plane0() == 0) return send_error("handles[0]==0 (CAP_SYS_ADMIN not set?)");
  if (!geometry_acceptable(framebuffer->pitches[0], framebuffer->height)) {
    return send_error("rejecting framebuffer geometry (too large)");
  }
  send_framebuffer(state, *plane, *framebuffer, handles.plane0());
}

}  // namespace scanwell
