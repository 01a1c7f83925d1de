#pragma once
// What the session worker takes from the outbound queue. The video
// service's commands (configure, retarget, stop, key-frame request) join
// these kinds when it is built.
#include <cstddef>
#include <string>
#include <variant>

#include "error.hpp"
#include "session/frame.hpp"

namespace corvane {

// A state the KVM keeps (clipboard.state, terminal.state, ...). Still sent
// after a failed send, so that the KVM's view stays right if the session
// goes on.
struct ServiceState {
  ControlMessage message;
};

// One message of a service. The encoder's checks have already run; a
// message that failed them arrives here as its refusal and counts as a
// failed send.
struct ServiceMessage {
  ControlMessage message;
  // Empty unless the checks refused the message.
  std::string refusal;
  // For terminal.output: the bytes counted in flight until this is handled.
  size_t terminal_output_bytes = 0;
};

inline ServiceMessage service_message(Result<ControlMessage> encoded,
                                      size_t terminal_output_bytes = 0) {
  if (!encoded) return {{}, std::move(encoded.error().message), terminal_output_bytes};
  return {std::move(*encoded), {}, terminal_output_bytes};
}

struct SessionClose {};

using OutboundCommand = std::variant<ServiceState, ServiceMessage, SessionClose>;

}  // namespace corvane
