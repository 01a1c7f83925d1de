#include "session/session_worker.hpp"

#include <chrono>

#include "log.hpp"
#include "session/encode.hpp"

namespace corvane {
namespace {

// Waiting this long for commands while no frame is due.
constexpr std::chrono::milliseconds idle_receive_timeout{50};

class Worker {
 public:
  explicit Worker(SessionWorker& worker) : w_(worker) {}

  void run() {
    start_pass();
    while (!w_.sink->is_cancelled()) {
      auto received = w_.commands.receive(receive_timeout_);
      if (received.status == ReceiveStatus::closed) return;
      if (received.status == ReceiveStatus::empty) {
        tick_and_start_pass();
        continue;
      }
      // Commands waiting behind this one are drained before the next tick.
      receive_timeout_ = std::chrono::nanoseconds::zero();
      if (handle(*received.message) == Next::leave) return;
    }
  }

 private:
  enum class Next { go_on, leave };

  void start_pass() {
    receive_timeout_ = idle_receive_timeout;
    service_messages_ = 0;
  }

  void tick_and_start_pass() {
    if (w_.tick) w_.tick();
    start_pass();
  }

  Next handle(OutboundCommand& command) {
    if (auto* state = std::get_if<ServiceState>(&command)) {
      send(state->message);
      return Next::go_on;
    }
    if (auto* message = std::get_if<ServiceMessage>(&command)) {
      handle_service_message(*message);
      return Next::go_on;
    }
    auto closed = w_.sink->send_control(encode_session_close(0));
    if (!closed) log_line("corvane: could not close session cleanly: " + closed.error().message);
    return Next::leave;
  }

  void handle_service_message(const ServiceMessage& message) {
    // Dropped after a failure: the session is ending, and its slot already
    // holds the reason.
    if (!w_.worker_failure->stored()) {
      if (!message.refusal.empty()) {
        record_failure(message.refusal);
      } else {
        send(message.message);
      }
    }
    if (message.terminal_output_bytes != 0) *w_.in_flight -= message.terminal_output_bytes;
    if (++service_messages_ == service_messages_per_tick) tick_and_start_pass();
  }

  void send(const ControlMessage& message) {
    auto sent = w_.sink->send_control(message);
    if (!sent) record_failure(sent.error().message);
  }

  void record_failure(std::string text) {
    const std::string line = "USB writer failed: " + text;
    if (w_.worker_failure->store_first(std::move(text))) log_line(line);
  }

  SessionWorker& w_;
  std::chrono::nanoseconds receive_timeout_{};
  int service_messages_ = 0;
};

}  // namespace

void run_session_worker(SessionWorker worker) { Worker(worker).run(); }

}  // namespace corvane
