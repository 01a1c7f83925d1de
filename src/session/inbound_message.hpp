#pragma once
// What reaches the service hub: the KVM's messages as the USB reader
// decoded them, the terminals' wake-ups, and the reader's last word.
#include <string>
#include <variant>

#include "session/kvm_event.hpp"

namespace corvane {

// Posted by the wake callback: ends the hub's receive phase so that new
// terminal output is forwarded at once.
struct WakeMessage {};

// Always the USB reader's last message.
struct ReaderStopped {
  std::string reason;
};

using InboundMessage = std::variant<KvmEvent, WakeMessage, ReaderStopped>;

}  // namespace corvane
