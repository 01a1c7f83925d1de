#pragma once
// What a terminal's threads tell the hub, through the event queue. Each
// event carries the terminal's serial as well as its id: the KVM may close
// an id and open it again at once, and the old terminal's last words must
// not reach the new one.
#include <cstdint>
#include <vector>

namespace corvane {

struct TerminalTag {
  uint32_t id = 0;
  uint64_t serial = 0;
  friend bool operator==(const TerminalTag&, const TerminalTag&) = default;
};

struct TerminalEvent {
  enum class Kind {
    // 1 to 65524 bytes the shell wrote.
    output,
    // The pty reported end of file or an error.
    output_ended,
    // The shell process has ended or has been killed.
    exited,
  };
  Kind kind = Kind::output;
  TerminalTag tag;
  // Only with output.
  std::vector<uint8_t> bytes;
};

}  // namespace corvane
