#include "session/session_status.hpp"

#include <algorithm>

#include "session/payload_cursor.hpp"

namespace corvane {
namespace {

constexpr std::array<uint8_t, 4> status_magic{'T', 'R', 'K', '5'};
constexpr uint8_t highest_state = 3;

bool all_zero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte == 0; });
}

}  // namespace

Result<SessionStatus> parse_session_status(std::span<const uint8_t> data) {
  if (data.size() < session_status_size) return fail_truncated();
  if (data.size() > session_status_size) return fail_trailing_bytes();
  auto magic = data.first(4);
  uint8_t state = data[4];
  auto reserved = data.subspan(5, 3);
  auto token = data.subspan(8, 16);
  if (!std::equal(magic.begin(), magic.end(), status_magic.begin()) || state > highest_state ||
      !all_zero(reserved)) {
    return fail("invalid KVM USB reset status");
  }
  if (all_zero(token)) return fail("the KVM returned an empty session token");
  SessionStatus status{static_cast<SessionState>(state), {}};
  std::copy(token.begin(), token.end(), status.token.begin());
  return status;
}

}  // namespace corvane
