#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "display_watch.hpp"
#include "failure.hpp"
#include "helper_link.hpp"
#include "scanwell.h"
#include "scoped_fd.hpp"

// One capture context: a DRM device opened without privilege for listing
// and watching its displays, and the link to the helper that reads its
// framebuffers.
struct ScanwellContext {
  std::string device_path;
  scanwell::ScopedFd device;
  std::uint32_t crtc_id = 0;
  std::optional<std::string> render_node;
  std::optional<std::string> gpu_driver;
  std::string error;  // the last failure's text; empty when none
  std::unique_ptr<scanwell::DisplayWatch> watch;
  std::unique_ptr<scanwell::HelperLink> helper;
};

namespace scanwell {

Outcome<std::unique_ptr<ScanwellContext>> open_context(const CaptureOpenConfig& config);

}  // namespace scanwell
