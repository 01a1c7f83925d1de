#include "engine/capture_source.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <span>

namespace corvane {
namespace {

constexpr int list_capacity = 64;

// The CRTC lighting connector_id, or 0 when it is not listed as lit.
uint32_t crtc_of_connector(const CaptureLibrary& library, void* context, uint32_t connector_id) {
  std::array<DisplayInfo, list_capacity> entries{};
  int count = library.scanwell_list_displays(context, entries.data(), list_capacity);
  auto listed = std::span(entries).first(static_cast<size_t>(std::clamp(count, 0, list_capacity)));
  auto found = std::ranges::find_if(listed, [&](const DisplayInfo& entry) {
    return entry.connector_id == connector_id && entry.active != 0;
  });
  return found == listed.end() ? 0 : found->crtc_id;
}

const char* helper_path_from_environment() {
  const char* helper = std::getenv("CORVANE_SCANWELL_HELPER");
  return helper && *helper ? helper : nullptr;
}

}  // namespace

int open_capture(CaptureSource& source, const char* device, uint32_t connector_id,
                 FrameDesc& frame) {
  source = CaptureSource(capture_library(), nullptr);
  const CaptureLibrary* library = source.library();
  if (!library) return 1;

  CaptureOpenConfig config{};
  config.device = device && *device ? device : nullptr;
  config.helper_path = helper_path_from_environment();
  source.context_ = library->scanwell_open(&config);
  if (!source.context_) {
    log_library_error(*library, nullptr, "scanwell open failed");
    return 2;
  }

  if (connector_id != 0) {
    uint32_t crtc_id = crtc_of_connector(*library, source.context_, connector_id);
    if (crtc_id == 0) return 4;
    source.crtc_id_ = crtc_id;
    source.close();
    config.crtc_id = crtc_id;
    source.context_ = library->scanwell_open(&config);
    if (!source.context_) {
      log_library_error(*library, nullptr, "selected CRTC open failed");
      return 2;
    }
  }

  // Later polls should report only changes made after this open.
  library->scanwell_displays_changed(source.context_);

  int grabbed = library->scanwell_grab_desc(source.context_, &frame, frame.release_handle);
  if (grabbed >= 0) return 0;
  log_library_error(*library, source.context_, "scanwell grab failed");
  if (grabbed == -ENODEV) return 4;
  if (grabbed == -EACCES) return 3;
  return 7;
}

}  // namespace corvane

// Discovery lists every card on each pass, so it opens a context of its
// own each time and sees the hardware as it is now; it never starts the
// helper, so no helper path is given.
extern "C" int capture_list_displays(const char* device, DisplayInfo* entries, int capacity) {
  const corvane::CaptureLibrary* library = corvane::capture_library();
  if (!library) return -1;
  CaptureOpenConfig config{};
  config.device = device;
  corvane::CaptureSource source(library, library->scanwell_open(&config));
  if (!source.context()) return -1;
  return library->scanwell_list_displays(source.context(), entries, capacity);
}
