#include "services/clipboard/desktop_clipboard.hpp"

#include <cstdlib>

#include "services/clipboard/wayland_clipboard.hpp"
#include "services/clipboard/x11_clipboard.hpp"

namespace corvane {

Result<std::unique_ptr<ClipboardFacility>> open_desktop_clipboard() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (!wayland || !*wayland) return open_x11_clipboard();
  auto opened = open_wayland_clipboard();
  if (opened) return opened;
  auto x11 = open_x11_clipboard();
  if (x11) return x11;
  return fail(opened.error().message + "; " + x11.error().message);
}

}  // namespace corvane
