#pragma once
// The wire format between libscanwell and scanwell-helper on descriptor 3.
// Both ends run on the same little-endian host, so the records travel as
// they lie in memory.
#include <bit>
#include <cstddef>
#include <cstdint>

namespace scanwell {

static_assert(std::endian::native == std::endian::little);

// The helper always finds its socket here; it never accepts another.
inline constexpr int helper_socket = 3;

inline constexpr std::uint32_t request_magic = 0x4C574353;  // "SCWL"
inline constexpr std::uint16_t request_version = 1;

enum class RequestType : std::uint16_t { frame = 1, cursor = 2, end = 255 };

struct HelperRequest {
  std::uint32_t magic = request_magic;
  std::uint16_t version = request_version;
  std::uint16_t type = 0;
  std::uint32_t length = sizeof(HelperRequest);
  std::uint32_t crtc_id = 0;
};
static_assert(sizeof(HelperRequest) == 16);

enum class FrameTransfer : std::uint32_t {
  pixels = 0,
  dmabuf = 1,
  // A DMA-BUF of a virtio-gpu device with virgl: its contents live on the host.
  host_dmabuf = 3,
};

inline constexpr std::uint64_t drm_format_mod_invalid = 0x00FFFFFFFFFFFFFFull;

// Largest framebuffer served: an 8K picture of 4-byte pixels.
inline constexpr std::uint64_t frame_max_bytes = 132710400;

struct FrameReply {
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t pitch;
  std::uint32_t fourcc;
  std::uint32_t fb_id;
  std::uint32_t data_size;
  std::uint64_t modifier;
  std::uint32_t sequence;
  std::uint32_t zero0;
  std::uint64_t timestamp;
  std::uint32_t transfer;
  std::uint32_t hdr_eotf;
  std::uint32_t hdr_peak_nits;
  std::uint32_t zero1;
};
static_assert(sizeof(FrameReply) == 64);
static_assert(offsetof(FrameReply, modifier) == 24);
static_assert(offsetof(FrameReply, sequence) == 32);
static_assert(offsetof(FrameReply, timestamp) == 40);
static_assert(offsetof(FrameReply, transfer) == 48);
static_assert(offsetof(FrameReply, hdr_peak_nits) == 56);

// Cursor images are copied whole; the hardware never shows larger ones.
inline constexpr std::uint32_t cursor_max_side = 256;

struct CursorReply {
  std::int32_t x;
  std::int32_t y;
  std::int32_t hot_x;
  std::int32_t hot_y;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t valid;
  std::uint32_t data_size;
};
static_assert(sizeof(CursorReply) == 32);

}  // namespace scanwell
