#pragma once
#include <array>
#include <cstdint>

#include "drm_records.hpp"

namespace scanwell {

// The GEM handles that a GetFB2 call created for this process. Each query
// creates new ones, so every handle is closed when this is dropped, on
// every path; planes that share a buffer share one handle value.
class GemHandles {
 public:
  GemHandles(int device, const drmModeFB2& framebuffer);
  GemHandles(const GemHandles&) = delete;
  GemHandles& operator=(const GemHandles&) = delete;
  ~GemHandles();

  std::uint32_t plane0() const { return handles_[0]; }

 private:
  int device_;
  std::array<std::uint32_t, 4> handles_;
};

}  // namespace scanwell
