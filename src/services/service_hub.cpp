#include "services/service_hub.hpp"

#include <vector>

#include "session/encode.hpp"

namespace corvane {

ServiceHub::ServiceHub(Receiver<InboundMessage> inbound, const SessionSettings& settings,
                       StopFlag stop, std::shared_ptr<StagedSlot> staged,
                       SessionServices services, Clock& clock)
    : inbound_(std::move(inbound)),
      terminal_enabled_(settings.terminal_enabled),
      capture_display_(settings.capture_display),
      next_announcement_(clock.now()),
      stop_(std::move(stop)),
      staged_(std::move(staged)),
      files_enabled_(settings.files_enabled),
      services_(std::move(services)),
      clock_(clock) {}

Result<> ServiceHub::pump(const Sender<OutboundCommand>& outbound,
                          std::chrono::nanoseconds timeout) {
  if (clock_.now() >= next_announcement_) announce_displays(outbound);
  std::deque<OutboundCommand> terminal_events;
  auto budget = timeout;
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
    run_loop_queue_.push_back(std::move(event));
  }
  for (auto& event : terminal_events) outbound.send(std::move(event));
  return {};
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

std::function<void()> ServiceHub::wake_callback(Sender<InboundMessage> inbound) const {
  return [inbound = std::move(inbound), pending = wake_pending_] {
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
                                  std::deque<OutboundCommand>& terminal_events) {
  auto settings = parse_session_settings(config.json);
  if (!settings) return std::unexpected(settings.error());
  if (settings->terminal_enabled != terminal_enabled_) {
    terminal_enabled_ = settings->terminal_enabled;
    terminal_events.emplace_back(ServiceState{encode_terminal_state(terminal_enabled_)});
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
