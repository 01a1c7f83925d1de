// Any text the KVM sends as session.config must come back as settings or an
// error, never a crash, a hang or a read out of bounds.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "session/settings.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)corvane::parse_session_settings(text);
  return 0;
}
