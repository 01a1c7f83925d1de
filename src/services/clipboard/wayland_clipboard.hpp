#pragma once
#include <memory>

#include "error.hpp"
#include "services/clipboard/clipboard_facility.hpp"

namespace corvane {

// The Wayland compositor named by WAYLAND_DISPLAY, through its
// wlr-data-control protocol; the compositor's events and the transfers of
// what is written run on a thread of the facility's own.
Result<std::unique_ptr<ClipboardFacility>> open_wayland_clipboard();

}  // namespace corvane
