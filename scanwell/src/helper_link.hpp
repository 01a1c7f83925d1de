#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "failure.hpp"
#include "helper_protocol.hpp"
#include "pixel_frames.hpp"
#include "scoped_fd.hpp"

namespace scanwell {

// A frame as the helper sent it: the reply and the descriptor over its
// pixels (the scanned-out DMA-BUF itself, or memory the pixels were copied to).
struct ReceivedFrame {
  FrameReply reply{};
  ScopedFd descriptor;
};

struct ReceivedCursor {
  CursorReply reply{};
  std::unique_ptr<std::uint32_t[]> pixels;  // null when the reply has none
};

// The library's end of the socket to scanwell-helper. The helper is
// started at the first request and ended when the link is dropped. Once it
// has gone away (refused to start, died, or broke the protocol), every
// later request fails the same way: recovery is a new context.
class HelperLink {
 public:
  HelperLink(std::string helper_path, std::string device_path);
  HelperLink(const HelperLink&) = delete;
  HelperLink& operator=(const HelperLink&) = delete;
  ~HelperLink();

  Outcome<ReceivedFrame> request_frame(std::uint32_t crtc_id);
  Outcome<ReceivedCursor> request_cursor(std::uint32_t crtc_id);

 private:
  Outcome<void> ensure_started();
  Outcome<void> start();
  Outcome<void> send_request(RequestType type, std::uint32_t crtc_id);
  Outcome<ReceivedFrame> receive_pixels(ReceivedFrame frame);
  // The helper went away: reap it and remember why.
  Failure lost();
  // The helper sent something this library cannot follow: end it.
  Failure broken(const std::string& message);
  // Closes the socket and reaps the helper; its wait status when it was reaped.
  std::optional<int> end_helper();

  std::string helper_path_;
  std::string device_path_;
  ScopedFd socket_;
  pid_t pid_ = -1;
  std::optional<Failure> failure_;
  PixelFrames pixel_frames_;
};

}  // namespace scanwell
