#pragma once
// The hub's half of the terminals: the table of open terminals and their
// credit, and the drain that forwards their output to the KVM within the
// KVM's credit, the in-flight limit and the drain pause. Runs only on the
// caller of the hub's pump.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "services/terminal/backlog.hpp"
#include "services/terminal/terminal_event.hpp"
#include "services/terminal/terminal_message.hpp"
#include "services/terminal/terminal_session.hpp"
#include "session/kvm_event.hpp"
#include "session/session_worker.hpp"
#include "system/channel.hpp"
#include "system/clock.hpp"

namespace corvane {

inline constexpr size_t max_open_terminals = 4;
inline constexpr uint64_t initial_terminal_credit = 131072;
inline constexpr uint64_t terminal_in_flight_limit = 262144;
// A merged terminal.output stays below this.
inline constexpr size_t merged_output_limit = 65525;
inline constexpr std::chrono::milliseconds drain_pause_length{2};
inline constexpr std::chrono::milliseconds exit_linger{500};
inline constexpr TerminalSize default_terminal_size{24, 80};

using TerminalMessages = std::vector<TerminalMessage>;

class TerminalService {
 public:
  TerminalService(InFlightCounter in_flight, std::function<void()> wake,
                  Clock& clock = steady_clock());
  TerminalService(const TerminalService&) = delete;
  TerminalService& operator=(const TerminalService&) = delete;
  // Ends every terminal; readers waiting for room drop their data.
  ~TerminalService();

  void open(const TerminalOpen& request, bool enabled, TerminalMessages& out);
  void input(TerminalInput request, TerminalMessages& out);
  void resize(const TerminalResize& request);
  void credit(const TerminalCredit& request);
  void close(uint32_t id, uint8_t reason, TerminalMessages& out);
  void close_all(uint8_t reason, TerminalMessages& out);

  struct Drained {
    // The drain stopped at its budget or is pausing: pump again soon.
    bool soon = false;
  };
  Drained drain(TerminalMessages& out);
  Clock::time_point drain_pause() const { return drain_pause_; }

 private:
  struct HeldBack {
    TerminalTag tag;
    std::vector<uint8_t> bytes;
  };
  enum class Step { go_on, leave };

  TerminalService(Channel<TerminalEvent> events, InFlightCounter in_flight,
                  std::function<void()> wake, Clock& clock);

  TerminalSession* find(TerminalTag tag);
  void close_lingering(Clock::time_point now, TerminalMessages& out);
  Step forward(TerminalTag tag, std::vector<uint8_t> bytes, uint64_t& sent, TerminalMessages& out);
  Step handle(TerminalEvent& event, Clock::time_point now, uint64_t& sent, TerminalMessages& out);

  Receiver<TerminalEvent> events_;
  Sender<TerminalEvent> event_sender_;
  std::shared_ptr<Backlog> backlog_ = std::make_shared<Backlog>();
  std::optional<HeldBack> held_back_;
  Clock::time_point drain_pause_{};
  std::map<uint32_t, TerminalSession> sessions_;
  std::map<uint32_t, uint64_t> credits_;
  InFlightCounter in_flight_;
  std::function<void()> wake_;
  Clock& clock_;
  uint64_t next_serial_ = 1;
};

// The user's login shell with the service's environment, TERM set for
// the KVM's terminal, in the home folder.
TerminalCommand login_shell_command();

}  // namespace corvane
