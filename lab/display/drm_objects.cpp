#include "drm_objects.hpp"

#include <sys/mman.h>
#include <xf86drm.h>

#include <cerrno>
#include <utility>

namespace corvane::lab {

Result<DumbBuffer> DumbBuffer::create(int card, uint32_t width, uint32_t height) {
  drm_mode_create_dumb request{};
  request.width = width;
  request.height = height;
  request.bpp = 32;
  if (drmIoctl(card, DRM_IOCTL_MODE_CREATE_DUMB, &request) != 0) {
    return fail("create dumb buffer: " + os_error_text(errno));
  }
  // Owned from here on, so every failure below destroys it.
  DumbBuffer buffer(card, request.handle, width, height);
  buffer.pitch_ = request.pitch;
  buffer.size_ = request.size;

  drm_mode_map_dumb map{};
  map.handle = request.handle;
  if (drmIoctl(card, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0) {
    return fail("map dumb buffer: " + os_error_text(errno));
  }
  void* pixels = ::mmap(nullptr, request.size, PROT_READ | PROT_WRITE, MAP_SHARED, card,
                        static_cast<off_t>(map.offset));
  if (pixels == MAP_FAILED) return fail("mmap dumb buffer: " + os_error_text(errno));
  buffer.pixels_ = static_cast<uint8_t*>(pixels);
  return buffer;
}

DumbBuffer::DumbBuffer(DumbBuffer&& other) noexcept
    : card_(other.card_),
      handle_(std::exchange(other.handle_, 0)),
      width_(other.width_),
      height_(other.height_),
      pitch_(other.pitch_),
      size_(std::exchange(other.size_, 0)),
      pixels_(std::exchange(other.pixels_, nullptr)) {}

DumbBuffer::~DumbBuffer() {
  if (pixels_ != nullptr) ::munmap(pixels_, size_);
  if (handle_ == 0) return;
  drm_mode_destroy_dumb request{};
  request.handle = handle_;
  drmIoctl(card_, DRM_IOCTL_MODE_DESTROY_DUMB, &request);
}

std::span<uint32_t> DumbBuffer::row(uint32_t y) {
  return {reinterpret_cast<uint32_t*>(pixels_ + static_cast<size_t>(y) * pitch_), width_};
}

Result<Framebuffer> Framebuffer::add(int card, const DumbBuffer& buffer, uint32_t format) {
  uint32_t handles[4] = {buffer.handle()};
  uint32_t pitches[4] = {buffer.pitch()};
  uint32_t offsets[4] = {};
  uint32_t id = 0;
  if (drmModeAddFB2(card, buffer.width(), buffer.height(), format, handles, pitches, offsets, &id,
                    0) != 0) {
    return fail("add framebuffer: " + os_error_text(errno));
  }
  return Framebuffer(card, id);
}

}  // namespace corvane::lab
