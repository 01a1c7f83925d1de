#include "services/session_services.hpp"

#include "services/file_drop/file_destination.hpp"
#include "video/display/drm.hpp"

namespace corvane {

SessionServices desktop_services() {
  return {
      .display_names = [] { return online_display_names(); },
      .clipboard = process_clipboard(),
      .file_destination_available = [] { return find_file_destination().has_value(); },
  };
}

}  // namespace corvane
