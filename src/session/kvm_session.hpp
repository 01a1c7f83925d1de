#pragma once
// One served KVM connection: the session worker and the USB reader with the
// queues and slots that join them to the run loop. Created right after a
// successful handshake; its teardown stops both threads in a fixed order.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "services/install_target.hpp"
#include "services/service_hub.hpp"
#include "services/session_services.hpp"
#include "services/staged_slot.hpp"
#include "session/connect.hpp"
#include "session/failure_slot.hpp"
#include "session/outbound_command.hpp"
#include "session/session_worker.hpp"
#include "session/usb_reader.hpp"
#include "shutdown.hpp"
#include "system/channel.hpp"

namespace corvane {

// What one wait step tells its caller.
struct WaitOutcome {
  enum class Kind { go_on, end_normally, end_with_error };
  Kind kind = Kind::go_on;
  // With go_on: the run-loop queue's oldest message, if there was one.
  std::optional<KvmEvent> message;
  // With end_with_error.
  std::string error;
};

class KvmSession {
 public:
  // Starts "usb-writer" and "usb-reader". tick is the capture pipeline's
  // step, run by the session worker whenever it is idle. Without an
  // install target every update is refused.
  KvmSession(ConnectedKvm kvm, StopFlag stop, SessionServices services,
             std::function<void()> tick = {},
             std::optional<InstallTarget> install_target = std::nullopt);
  KvmSession(const KvmSession&) = delete;
  KvmSession& operator=(const KvmSession&) = delete;
  // Tears down.
  ~KvmSession();

  // Checks for a stop, a staged update and a worker failure, then lets the
  // hub work for at most wait_step_budget.
  WaitOutcome wait_step();

  // Sends session.close through the worker and waits for it to finish.
  void end_normally();
  // Cancels the connection and joins both threads. Runs once.
  void teardown();

  std::optional<StagedUpdate> take_staged() { return staged_->take(); }
  const Sender<OutboundCommand>& outbound() const { return outbound_; }
  const ConnectedKvm& kvm() const { return kvm_; }

 private:
  KvmSession(ConnectedKvm kvm, StopFlag stop, SessionServices services,
             std::function<void()> tick, std::optional<InstallTarget> install_target,
             Channel<OutboundCommand> outbound);

  ConnectedKvm kvm_;
  StopFlag stop_;
  Sender<OutboundCommand> outbound_;
  std::shared_ptr<FailureSlot> worker_failure_ = std::make_shared<FailureSlot>();
  InFlightCounter in_flight_ = std::make_shared<std::atomic<uint64_t>>(0);
  std::thread worker_;
  ReaderStopFlag reader_stop_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<StagedSlot> staged_ = std::make_shared<StagedSlot>();
  std::thread reader_;
  std::optional<ServiceHub> hub_;
  bool torn_down_ = false;
};

// The longest one wait step blocks, so that a stop is seen within it.
inline constexpr std::chrono::milliseconds wait_step_budget{50};

}  // namespace corvane
