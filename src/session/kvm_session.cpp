#include "session/kvm_session.hpp"

#include <pthread.h>

#include <cstdlib>
#include <system_error>

#include "log.hpp"
#include "services/file_drop/file_destination.hpp"

namespace corvane {
namespace {

// A session cannot run without its threads; failing to start one leaves
// the process in no state worth continuing from.
template <class Body>
std::thread spawn_named(const char* name, const char* what, Body body) {
  try {
    return std::thread([name, body = std::move(body)]() mutable {
      ::pthread_setname_np(::pthread_self(), name);
      body();
    });
  } catch (const std::system_error& error) {
    log_line(std::string("corvane: ") + what + ": " + error.what());
    std::abort();
  }
}

}  // namespace

KvmSession::KvmSession(ConnectedKvm kvm, StopFlag stop, SessionServices services,
                       std::function<void()> tick, std::optional<InstallTarget> install_target)
    : KvmSession(std::move(kvm), std::move(stop), std::move(services), std::move(tick),
                 std::move(install_target), make_channel<OutboundCommand>()) {}

KvmSession::KvmSession(ConnectedKvm kvm, StopFlag stop, SessionServices services,
                       std::function<void()> tick, std::optional<InstallTarget> install_target,
                       Channel<OutboundCommand> outbound)
    : kvm_(std::move(kvm)), stop_(std::move(stop)), outbound_(std::move(outbound.sender)) {
  SessionWorker worker{std::move(outbound.receiver), kvm_.connection, worker_failure_, in_flight_,
                       std::move(tick)};
  worker_ = spawn_named("usb-writer", "spawn the USB writer",
                        [worker = std::move(worker)]() mutable {
                          run_session_worker(std::move(worker));
                        });
  auto inbound = make_channel<InboundMessage>();
  UsbReader reader{kvm_.connection, std::move(inbound.sender), outbound_, reader_stop_,
                   FileDropService(find_file_destination(), kvm_.settings.files_enabled, outbound_),
                   UpdateReceiver(std::move(install_target), staged_, outbound_)};
  reader_ = spawn_named("usb-reader", "spawn the USB reader",
                        [reader = std::move(reader)]() mutable {
                          run_usb_reader(std::move(reader));
                        });
  hub_.emplace(std::move(inbound.receiver), kvm_.settings, stop_, staged_, std::move(services),
               in_flight_);
}

KvmSession::~KvmSession() { teardown(); }

WaitOutcome KvmSession::wait_step() {
  using Kind = WaitOutcome::Kind;
  if (hub_->session_should_end()) return {Kind::end_normally, std::nullopt, {}};
  if (auto failure = worker_failure_->stored()) return {Kind::end_with_error, std::nullopt, *failure};
  if (hub_->run_loop_queue_empty()) {
    if (auto pumped = hub_->pump(outbound_, wait_step_budget); !pumped) {
      return {Kind::end_with_error, std::nullopt, pumped.error().message};
    }
  }
  return {Kind::go_on, hub_->take_run_loop_message(), {}};
}

void KvmSession::end_normally() {
  outbound_.send(SessionClose{});
  if (worker_.joinable()) worker_.join();
}

void KvmSession::teardown() {
  if (torn_down_) return;
  torn_down_ = true;
  kvm_.connection->cancel();
  if (worker_.joinable()) worker_.join();
  reader_stop_->store(true);
  if (reader_.joinable()) reader_.join();
  hub_.reset();
}

}  // namespace corvane
