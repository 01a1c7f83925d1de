#pragma once
#include <memory>

#include "error.hpp"
#include "services/clipboard/clipboard_facility.hpp"

namespace corvane {

// The X11 server named by DISPLAY. Reads and serves the CLIPBOARD selection
// as UTF8_STRING, large texts incrementally (INCR); what is written is
// served from a thread of the facility's own.
Result<std::unique_ptr<ClipboardFacility>> open_x11_clipboard();

}  // namespace corvane
