#include "entry.hpp"

#include "approval.hpp"
#include "command_line.hpp"
#include "engine_environment.hpp"
#include "log.hpp"
#include "session/run_loop.hpp"
#include "shutdown.hpp"
#include "supervisor/linux_access.hpp"
#include "supervisor/notify.hpp"
#include "supervisor/user_service.hpp"

namespace corvane {
namespace {

int exit_status(const Result<>& result) {
  if (result) return 0;
  log_line("corvane: " + result.error().message);
  return 1;
}

int install_and_notify() {
  auto installed = install_service(true);
  if (installed) {
    notify_user(
        "Corvane is running, and starts each time you sign in. Turn on Corvane in the KVM's web "
        "UI.",
        false);
  } else {
    notify_user("Corvane could not start: " + installed.error().message + ".", true);
  }
  return exit_status(installed);
}

int run_service() {
  prepare_engine_environment();
  auto stop = make_stop_flag();
  if (auto installed = install_shutdown_handler(stop); !installed) return exit_status(installed);
  run(stop);
  return 0;
}

int capture_test(const std::vector<std::string>&) {
  prepare_engine_environment();
  return exit_status(fail("the capture test is not part of this build yet"));
}

}  // namespace

int run_main(const std::vector<std::string>& args) {
  auto command = parse_command_line(args);
  if (!command) return exit_status(std::unexpected(command.error()));

  switch (command->mode) {
    case Mode::capture_test: return capture_test(command->capture_test_args);
    case Mode::install_and_notify: return install_and_notify();
    case Mode::run: return run_service();
    case Mode::install_service: return exit_status(install_service(true));
    case Mode::uninstall_service: return exit_status(install_service(false));
    case Mode::install_linux_access: return exit_status(install_linux_access(LinuxAccess::all));
    case Mode::install_linux_usb_access:
      return exit_status(install_linux_access(LinuxAccess::usb_only));
    case Mode::install_linux_capture_access:
      return exit_status(install_linux_access(LinuxAccess::capture_only));
    case Mode::approve_kvm: return exit_status(approve_kvm_mode(*command->fingerprint));
    case Mode::forget_kvm: return exit_status(forget_kvm_mode(*command->fingerprint));
  }
  return 1;
}

}  // namespace corvane
