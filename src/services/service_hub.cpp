#include "services/service_hub.hpp"

#include <algorithm>
#include <vector>

#include "session/encode.hpp"

namespace corvane {

ServiceHub::ServiceHub(Receiver<InboundMessage> inbound, const SessionSettings& settings,
                       StopFlag stop, std::shared_ptr<StagedSlot> staged,
                       SessionServices services, InFlightCounter in_flight, Clock& clock)
    : inbound_(std::move(inbound)),
      in_flight_(std::move(in_flight)),
      terminals_(in_flight_, wake_callback(), clock),
      terminal_enabled_(settings.terminal_enabled),
      capture_display_(settings.capture_display),
      next_announcement_(clock.now()),
      stop_(std::move(stop)),
      staged_(std::move(staged)),
      files_enabled_(settings.files_enabled),
      clipboard_(services.clipboard),
      services_(std::move(services)),
      clock_(clock) {}

Result<> ServiceHub::pump(const Sender<OutboundCommand>& outbound,
                          std::chrono::nanoseconds timeout) {
  if (clock_.now() >= next_announcement_) announce_displays(outbound);
  TerminalMessages terminal_events;
  auto budget = wait_budget(timeout);
  for (;; budget = std::chrono::nanoseconds::zero()) {
    auto received = inbound_.receive(budget, clock_);
    if (received.status == ReceiveStatus::empty) break;
    if (received.status == ReceiveStatus::closed) return fail("the USB reader stopped");
    auto& message = *received.message;
    if (auto* stopped = std::get_if<ReaderStopped>(&message)) return fail(stopped->reason);
    if (std::holds_alternative<WakeMessage>(message)) {
      wake_pending_->store(false);
      break;
    }
    auto& event = std::get<KvmEvent>(message);
    if (auto* config = std::get_if<SessionConfig>(&event)) {
      if (auto applied = apply_config(*config, outbound, terminal_events); !applied) {
        return applied;
      }
      continue;
    }
    // A clipboard request waits for the worker's answer before the next
    // message is taken.
    if (clipboard_.handle(event, outbound)) continue;
    if (handle_terminal(event, terminal_events)) continue;
    run_loop_queue_.push_back(std::move(event));
  }
  drain_soon_ = terminals_.drain(terminal_events).soon;
  for (auto& message : terminal_events) {
    outbound.send(terminal_command(std::move(message), *in_flight_));
  }
  return {};
}

std::chrono::nanoseconds ServiceHub::wait_budget(std::chrono::nanoseconds timeout) {
  if (!drain_soon_) return timeout;
  auto until_pause_ends = terminals_.drain_pause() - clock_.now();
  if (until_pause_ends >= timeout) return timeout;
  return std::max(std::chrono::nanoseconds::zero(),
                  std::chrono::duration_cast<std::chrono::nanoseconds>(until_pause_ends));
}

bool ServiceHub::handle_terminal(KvmEvent& event, TerminalMessages& terminal_events) {
  if (auto* open = std::get_if<TerminalOpen>(&event)) {
    terminals_.open(*open, terminal_enabled_, terminal_events);
  } else if (auto* input = std::get_if<TerminalInput>(&event)) {
    terminals_.input(std::move(*input), terminal_events);
  } else if (auto* resize = std::get_if<TerminalResize>(&event)) {
    terminals_.resize(*resize);
  } else if (auto* close = std::get_if<TerminalClose>(&event)) {
    terminals_.close(close->id, terminal_close_reason::requested, terminal_events);
  } else if (auto* credit = std::get_if<TerminalCredit>(&event)) {
    terminals_.credit(*credit);
  } else {
    return false;
  }
  return true;
}

bool ServiceHub::session_should_end() const {
  return stop_->load() || staged_->holds_package();
}

std::optional<KvmEvent> ServiceHub::take_run_loop_message() {
  if (run_loop_queue_.empty()) return std::nullopt;
  auto event = std::move(run_loop_queue_.front());
  run_loop_queue_.pop_front();
  return event;
}

std::function<void()> ServiceHub::wake_callback() const {
  return [inbound = inbound_.weak_sender(), pending = wake_pending_] {
    if (pending->exchange(true)) return;
    inbound.send(WakeMessage{});
  };
}

void ServiceHub::announce_displays(const Sender<OutboundCommand>& outbound) {
  auto names = services_.display_names();
  if (names.size() > announced_displays_limit) names.resize(announced_displays_limit);
  outbound.send(service_message(encode_session_info(names)));
  next_announcement_ = clock_.now() + announcement_interval;
}

Result<> ServiceHub::apply_config(const SessionConfig& config,
                                  const Sender<OutboundCommand>& outbound,
                                  TerminalMessages& terminal_events) {
  auto settings = parse_session_settings(config.json);
  if (!settings) return std::unexpected(settings.error());
  if (settings->terminal_enabled != terminal_enabled_) {
    terminal_enabled_ = settings->terminal_enabled;
    if (!terminal_enabled_) terminals_.close_all(terminal_close_reason::requested, terminal_events);
    terminal_events.push_back(TerminalState{terminal_enabled_});
  }
  if (settings->files_enabled != files_enabled_) {
    files_enabled_ = settings->files_enabled;
    bool available = files_enabled_ && services_.file_destination_available();
    outbound.send(ServiceState{encode_file_state(available)});
  }
  capture_display_ = settings->capture_display;
  return {};
}

}  // namespace corvane
