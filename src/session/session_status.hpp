#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "error.hpp"

namespace corvane {

// Chosen by the KVM at each reset of its USB session; never all zero.
using SessionToken = std::array<uint8_t, 16>;

enum class SessionState : uint8_t {
  resetting = 0,
  ready = 1,
  in_use = 2,
  cancel_failed = 3,  // the KVM could not cancel its USB requests
};

// The 24-byte answer to both vendor control requests.
struct SessionStatus {
  SessionState state = SessionState::resetting;
  SessionToken token{};
};

inline constexpr size_t session_status_size = 24;

Result<SessionStatus> parse_session_status(std::span<const uint8_t> data);

}  // namespace corvane
