#include "services/session_services.hpp"

#include "video/display/drm.hpp"

namespace corvane {

SessionServices desktop_services() {
  return {
      .display_names = [] { return online_display_names(); },
      .clipboard_available = [] { return false; },
      .file_destination_available = [] { return false; },
  };
}

}  // namespace corvane
