#pragma once
#include <xf86drmMode.h>

#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "error.hpp"

namespace corvane::lab {

struct ResourcesDeleter {
  void operator()(drmModeRes* resources) const { drmModeFreeResources(resources); }
};
struct ConnectorDeleter {
  void operator()(drmModeConnector* connector) const { drmModeFreeConnector(connector); }
};
struct EncoderDeleter {
  void operator()(drmModeEncoder* encoder) const { drmModeFreeEncoder(encoder); }
};
using Resources = std::unique_ptr<drmModeRes, ResourcesDeleter>;
using Connector = std::unique_ptr<drmModeConnector, ConnectorDeleter>;
using Encoder = std::unique_ptr<drmModeEncoder, EncoderDeleter>;

// A dumb buffer of 32-bit pixels, mapped for writing; dropping it unmaps and
// destroys it.
class DumbBuffer {
 public:
  static Result<DumbBuffer> create(int card, uint32_t width, uint32_t height);

  DumbBuffer(DumbBuffer&& other) noexcept;
  DumbBuffer& operator=(DumbBuffer&&) = delete;
  DumbBuffer(const DumbBuffer&) = delete;
  DumbBuffer& operator=(const DumbBuffer&) = delete;
  ~DumbBuffer();

  uint32_t handle() const { return handle_; }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  uint32_t pitch() const { return pitch_; }
  // Row y of the mapping, width() pixels.
  std::span<uint32_t> row(uint32_t y);

 private:
  DumbBuffer(int card, uint32_t handle, uint32_t width, uint32_t height)
      : card_(card), handle_(handle), width_(width), height_(height) {}

  int card_;
  uint32_t handle_;
  uint32_t width_;
  uint32_t height_;
  uint32_t pitch_ = 0;
  uint64_t size_ = 0;
  uint8_t* pixels_ = nullptr;
};

// A framebuffer over a dumb buffer in a given format; removed when dropped.
class Framebuffer {
 public:
  static Result<Framebuffer> add(int card, const DumbBuffer& buffer, uint32_t format);

  Framebuffer(Framebuffer&& other) noexcept
      : card_(other.card_), id_(std::exchange(other.id_, 0)) {}
  Framebuffer& operator=(Framebuffer&&) = delete;
  Framebuffer(const Framebuffer&) = delete;
  Framebuffer& operator=(const Framebuffer&) = delete;
  ~Framebuffer() {
    if (id_ != 0) drmModeRmFB(card_, id_);
  }

  uint32_t id() const { return id_; }

 private:
  Framebuffer(int card, uint32_t id) : card_(card), id_(id) {}
  int card_;
  uint32_t id_;
};

}  // namespace corvane::lab
