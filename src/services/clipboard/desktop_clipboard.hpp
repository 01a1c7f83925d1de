#pragma once
#include <memory>

#include "error.hpp"
#include "services/clipboard/clipboard_facility.hpp"

namespace corvane {

// The desktop session's clipboard: the Wayland compositor's data-control
// protocol when WAYLAND_DISPLAY is set and the compositor offers it, else
// the X11 server's CLIPBOARD selection.
Result<std::unique_ptr<ClipboardFacility>> open_desktop_clipboard();

}  // namespace corvane
