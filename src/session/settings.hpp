#pragma once
// The KVM's settings for one session, sent as the JSON of session.config
// after the handshake and again whenever the user changes them.
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"

namespace corvane {

struct SessionSettings {
  bool terminal_enabled = false;
  bool files_enabled = false;
  // A display name; none lets the service choose.
  std::optional<std::string> capture_display;
  bool display_mode_by_sender = false;

  friend bool operator==(const SessionSettings&, const SessionSettings&) = default;
};

// Members with other names are ignored. A member given twice is refused
// rather than letting one of the values win silently.
Result<SessionSettings> parse_session_settings(std::string_view json);

}  // namespace corvane
