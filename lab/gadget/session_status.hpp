#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace corvane::lab {

// The KVM's answer to both session requests, as the KVM sends it.
struct SessionStatus {
  enum class State : uint8_t { resetting = 0, ready = 1, in_use = 2, cannot_cancel = 3 };
  State state = State::resetting;
  std::array<uint8_t, 16> token{};
};

inline constexpr uint8_t session_reset_request = 0x40;
inline constexpr uint8_t session_status_request = 0x41;
inline constexpr size_t session_status_size = 24;

// "TRK5", the state, three reserved zero bytes and the token.
std::array<uint8_t, session_status_size> encode_session_status(const SessionStatus& status);

}  // namespace corvane::lab
