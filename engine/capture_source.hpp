#pragma once
// A capture context of the capture library, opened on a DRM device and
// optionally on the CRTC behind one connector. A pipeline holds one and
// takes its frames from it.
#include <cstdint>
#include <utility>

#include "engine/capture_library.hpp"

namespace corvane {

// Owns the library's capture context and closes it when dropped; a
// pipeline that must close it at a fixed point of its teardown calls
// close() there.
class CaptureSource {
 public:
  CaptureSource() = default;
  CaptureSource(const CaptureLibrary* library, void* context)
      : library_(library), context_(context) {}
  CaptureSource(CaptureSource&& other) noexcept
      : library_(other.library_),
        context_(std::exchange(other.context_, nullptr)),
        crtc_id_(other.crtc_id_) {}
  CaptureSource& operator=(CaptureSource&& other) noexcept {
    if (this == &other) return *this;
    close();
    library_ = other.library_;
    context_ = std::exchange(other.context_, nullptr);
    crtc_id_ = other.crtc_id_;
    return *this;
  }
  CaptureSource(const CaptureSource&) = delete;
  CaptureSource& operator=(const CaptureSource&) = delete;
  ~CaptureSource() { close(); }

  // Null until open_capture has found the library.
  const CaptureLibrary* library() const { return library_; }
  void* context() const { return context_; }
  // The CRTC chosen for a connector; 0 when the library chose.
  uint32_t crtc_id() const { return crtc_id_; }

  void close() {
    if (context_) library_->scanwell_close(std::exchange(context_, nullptr));
  }

 private:
  friend int open_capture(CaptureSource&, const char*, uint32_t, FrameDesc&);
  const CaptureLibrary* library_ = nullptr;
  void* context_ = nullptr;
  uint32_t crtc_id_ = 0;
};

// Opens a capture context on device (null or empty: the library chooses),
// on the CRTC that scans out connector_id when it is not 0, and grabs the
// first frame into the zero-filled frame. Results: 0 success (the caller
// holds the frame and must release it); 1 library not available; 2 the
// library could not open the device or the CRTC; 3 the grab was refused
// (EACCES: the helper is missing or not permitted); 4 the connector is not
// found or not lit, or nothing is scanned out (ENODEV); 7 the grab failed
// otherwise. On results from 2 on, source keeps whatever context it holds.
int open_capture(CaptureSource& source, const char* device, uint32_t connector_id,
                 FrameDesc& frame);

}  // namespace corvane
