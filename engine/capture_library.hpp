#pragma once
// The run-time binding to the capture library libscanwell.so.0. corvane
// never links the library: it is loaded the first time the engine needs
// it, so a missing, incomplete or mismatched library only disables capture.
#include <string_view>

#include "engine/engine.h"

namespace corvane {

struct CaptureLibrary {
  void* handle;
  scanwell_open_fn scanwell_open;
  scanwell_close_fn scanwell_close;
  scanwell_list_displays_fn scanwell_list_displays;
  scanwell_displays_changed_fn scanwell_displays_changed;
  scanwell_grab_desc_fn scanwell_grab_desc;
  scanwell_frame_release_fn scanwell_frame_release;
  scanwell_get_cursor_fn scanwell_get_cursor;
  scanwell_cursor_release_fn scanwell_cursor_release;
  scanwell_error_fn scanwell_error;
  scanwell_render_node_fn scanwell_render_node;
  scanwell_gpu_driver_fn scanwell_gpu_driver;
};

// The process's binding, loaded on the first call (CORVANE_SCANWELL_LIB,
// then "libscanwell.so.0"); null when the library is unusable. Every later
// call returns the same answer without trying again. Thread-safe.
const CaptureLibrary* capture_library();

// Under KMS: what + ": " + the library's error text for context (null
// allowed), or "unknown" when it has none.
void log_library_error(const CaptureLibrary& library, void* context, std::string_view what);

}  // namespace corvane
