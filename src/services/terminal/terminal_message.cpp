#include "services/terminal/terminal_message.hpp"

#include "session/encode.hpp"

namespace corvane {

OutboundCommand terminal_command(TerminalMessage message, std::atomic<uint64_t>& in_flight) {
  if (auto* state = std::get_if<TerminalState>(&message)) {
    return ServiceState{encode_terminal_state(state->enabled)};
  }
  if (auto* opened = std::get_if<TerminalOpened>(&message)) {
    return service_message(encode_terminal_opened(opened->id, opened->status));
  }
  if (auto* closed = std::get_if<TerminalClosed>(&message)) {
    return service_message(encode_terminal_closed(closed->id, closed->reason));
  }
  auto& output = std::get<TerminalOutput>(message);
  in_flight += output.bytes.size();
  return service_message(encode_terminal_output(output.id, output.bytes), output.bytes.size());
}

}  // namespace corvane
