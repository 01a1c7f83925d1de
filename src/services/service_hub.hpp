#pragma once
// The service hub: where the KVM's unrequested traffic is taken off the
// inbound queue and dispatched. It has no thread of its own; whichever loop
// waits calls pump, and the hub works on that thread for at most the time
// the caller grants.
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "error.hpp"
#include "services/clipboard/clipboard_session.hpp"
#include "services/session_services.hpp"
#include "services/staged_slot.hpp"
#include "services/terminal/terminal_service.hpp"
#include "session/inbound_message.hpp"
#include "session/outbound_command.hpp"
#include "session/session_worker.hpp"
#include "session/settings.hpp"
#include "shutdown.hpp"
#include "system/channel.hpp"
#include "system/clock.hpp"

namespace corvane {

// At most this many display names go into one session.info.
inline constexpr size_t announced_displays_limit = 64;
inline constexpr std::chrono::seconds announcement_interval{5};

class ServiceHub {
 public:
  ServiceHub(Receiver<InboundMessage> inbound, const SessionSettings& settings, StopFlag stop,
             std::shared_ptr<StagedSlot> staged, SessionServices services,
             InFlightCounter in_flight, Clock& clock = steady_clock());

  // Announces the displays when due and handles what arrives within
  // timeout (a burst after the first message without waiting). A failure
  // ends the session with its text.
  Result<> pump(const Sender<OutboundCommand>& outbound, std::chrono::nanoseconds timeout);

  bool session_should_end() const;

  // Inbound messages the hub leaves to the run loop, oldest first.
  bool run_loop_queue_empty() const { return run_loop_queue_.empty(); }
  std::optional<KvmEvent> take_run_loop_message();

  // For the terminal sessions: posts a wake message unless one is already
  // waiting to be handled. It does not keep the inbound queue open.
  std::function<void()> wake_callback() const;

  bool files_enabled() const { return files_enabled_; }
  const std::optional<std::string>& capture_display() const { return capture_display_; }

 private:
  void announce_displays(const Sender<OutboundCommand>& outbound);
  Result<> apply_config(const SessionConfig& config, const Sender<OutboundCommand>& outbound,
                        TerminalMessages& terminal_events);
  std::chrono::nanoseconds wait_budget(std::chrono::nanoseconds timeout);
  // false for messages that are not the terminals'.
  bool handle_terminal(KvmEvent& event, TerminalMessages& terminal_events);

  Receiver<InboundMessage> inbound_;
  std::shared_ptr<std::atomic<bool>> wake_pending_ = std::make_shared<std::atomic<bool>>(false);
  InFlightCounter in_flight_;
  TerminalService terminals_;
  bool terminal_enabled_;
  bool drain_soon_ = false;
  std::deque<KvmEvent> run_loop_queue_;
  std::optional<std::string> capture_display_;
  Clock::time_point next_announcement_;
  StopFlag stop_;
  std::shared_ptr<StagedSlot> staged_;
  bool files_enabled_;
  ClipboardSession clipboard_;
  SessionServices services_;
  Clock& clock_;
};

}  // namespace corvane
