#pragma once
// The terminal messages for the KVM that one pump collects. They stay
// structured until the flush, so that output of several reads can still be
// merged into one message.
#include <cstdint>
#include <variant>
#include <vector>

#include "session/outbound_command.hpp"
#include "session/session_worker.hpp"

namespace corvane {

namespace terminal_status {
inline constexpr uint8_t opened = 0;
inline constexpr uint8_t switched_off = 1;
inline constexpr uint8_t too_many = 2;
inline constexpr uint8_t not_started = 3;
}  // namespace terminal_status

namespace terminal_close_reason {
inline constexpr uint8_t ended = 0;
inline constexpr uint8_t requested = 1;
inline constexpr uint8_t stopped_taking_input = 2;
}  // namespace terminal_close_reason

struct TerminalState {
  bool enabled = false;
};

struct TerminalOpened {
  uint32_t id = 0;
  uint8_t status = 0;
};

struct TerminalOutput {
  uint32_t id = 0;
  std::vector<uint8_t> bytes;
};

struct TerminalClosed {
  uint32_t id = 0;
  uint8_t reason = 0;
};

using TerminalMessage = std::variant<TerminalState, TerminalOpened, TerminalOutput, TerminalClosed>;

// The outbound command for one message. Output is counted in flight from
// here until the session worker has handled it.
OutboundCommand terminal_command(TerminalMessage message, std::atomic<uint64_t>& in_flight);

}  // namespace corvane
