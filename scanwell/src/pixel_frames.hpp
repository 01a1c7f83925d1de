#pragma once
#include <cstddef>
#include <optional>

#include "failure.hpp"
#include "scoped_fd.hpp"

namespace scanwell {

// Memory that receives one frame of pixels from the helper.
class PixelBuffer {
 public:
  PixelBuffer(ScopedFd memfd, void* address, std::size_t size);
  PixelBuffer(PixelBuffer&& other) noexcept;
  PixelBuffer& operator=(PixelBuffer&&) = delete;
  PixelBuffer(const PixelBuffer&) = delete;
  ~PixelBuffer();

  void* data() const { return address_; }
  std::size_t size() const { return size_; }
  ScopedFd take_memfd();
  void unmap();

 private:
  ScopedFd memfd_;
  void* address_;
  std::size_t size_;
};

// Turns pixels that arrived through the socket into a descriptor the caller
// can treat like a scanned-out buffer. Each frame gets memory of its own:
// the caller may keep a duplicate of a released frame's descriptor.
class PixelFrames {
 public:
  Outcome<PixelBuffer> create(std::size_t size);

  // A udmabuf over the pixels, which GPUs can import, where /dev/udmabuf is
  // usable; otherwise the memfd that holds them.
  ScopedFd publish(PixelBuffer buffer);

 private:
  int udmabuf_device();

  std::optional<ScopedFd> udmabuf_device_;  // opened at the first frame; empty fd when unusable
};

}  // namespace scanwell
