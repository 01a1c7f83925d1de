#include "session/run_loop.hpp"

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "approval.hpp"
#include "approval_wait.hpp"
#include "log.hpp"
#include "services/install_target.hpp"
#include "services/update/install_update.hpp"
#include "session/encode.hpp"
#include "session/error_pause.hpp"
#include "session/kvm_session.hpp"
#include "session/usbfs_host.hpp"
#include "supervisor/usb_access_prompt.hpp"

namespace corvane {
namespace {

struct SessionEnd {
  bool with_error = false;
  std::string error;
};

class RunLoop {
 public:
  RunLoop(const StopFlag& stop, RunLoopEnvironment& environment,
          const std::optional<InstallTarget>& install_target)
      : stop_(stop), env_(environment), install_target_(install_target) {}

  void cycle() {
    const auto session_start = env_.clock.now();
    auto connected = connect_kvm();
    if (!connected) {
      handle_connect_error(connected.error());
      return;
    }
    SessionEnd end;
    std::optional<StagedUpdate> staged;
    {
      KvmSession session(std::move(*connected), stop_, env_.services, {}, install_target_);
      end = serve(session, session_start);
      if (!end.with_error) session.end_normally();
      staged = session.take_staged();
      if (end.with_error && staged) log_line("corvane: " + end.error);
    }
    if (staged) {
      // The service manager starts the new program once this one is gone.
      // Process-wide threads (the clipboard worker) may still run, so the
      // static destructors are skipped rather than raced.
      if (install_update(*staged)) std::_Exit(0);
      return;
    }
    if (end.with_error) handle_connect_error(Error{end.error});
  }

 private:
  std::expected<ConnectedKvm, ConnectError> connect_kvm() {
    auto store = store_path();
    if (!store) return std::unexpected(store.error());
    return connect(env_.host, *store, env_.clock);
  }

  void handle_connect_error(const ConnectError& error) {
    if (const auto* not_approved = std::get_if<NotApproved>(&error)) {
      approval_wait(not_approved->fingerprint, stop_, env_.snapshot, env_.wait_clock);
      return;
    }
    if (std::holds_alternative<UsbAccessDenied>(error)) {
      usb_access_prompt(connect_error_text(error), prompted_devices_, stop_,
                        {env_.snapshot, env_.root, env_.wait_clock});
      return;
    }
    log_line("corvane: " + connect_error_text(error));
    error_pause(stop_, env_.wait_clock);
  }

  SessionEnd serve(KvmSession& session, Clock::time_point session_start) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        env_.clock.now() - session_start);
    log_line("startup phase=usb_ready elapsed_ms=" + std::to_string(elapsed.count()));
    const auto& outbound = session.outbound();
    const auto& settings = session.kvm().settings;
    outbound.send(ServiceState{encode_clipboard_state(env_.services.clipboard->probe())});
    outbound.send(ServiceState{encode_terminal_state(settings.terminal_enabled)});
    bool files = settings.files_enabled && env_.services.file_destination_available();
    outbound.send(ServiceState{encode_file_state(files)});
    if (install_target_) {
      outbound.send(ServiceState{
          encode_update_state(static_cast<UpdatePlatform>(install_target_->platform))});
    }
    // The video service takes the run loop's messages once it is built;
    // until then the loop only keeps the session served.
    for (;;) {
      auto outcome = session.wait_step();
      if (outcome.kind == WaitOutcome::Kind::end_normally) return {};
      if (outcome.kind == WaitOutcome::Kind::end_with_error) return {true, outcome.error};
    }
  }

  const StopFlag& stop_;
  RunLoopEnvironment& env_;
  const std::optional<InstallTarget>& install_target_;
  PromptedDevices prompted_devices_;
};

}  // namespace

void run_loop(const StopFlag& stop, RunLoopEnvironment environment) {
  log_line("corvane " CORVANE_VERSION " running");
  const auto install_target = determine_install_target();
  RunLoop loop(stop, environment, install_target);
  while (!stop->load()) loop.cycle();
}

void run(const StopFlag& stop) {
  UsbfsHost host;
  auto snapshot = [] {
    UsbfsHost own_host;
    return candidate_snapshot(own_host);
  };
  run_loop(stop, {host, steady_clock(), steady_clock(), desktop_services(), snapshot});
}

}  // namespace corvane
