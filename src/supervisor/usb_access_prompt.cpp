#include "supervisor/usb_access_prompt.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "error.hpp"
#include "log.hpp"
#include "session/error_pause.hpp"
#include "supervisor/dialog.hpp"
#include "supervisor/linux_access.hpp"
#include "system/child_process.hpp"
#include "system/lossy_utf8.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

constexpr auto poll_interval = 250ms;

constexpr const char* question_text =
    "Corvane cannot open the KVM's USB device. This computer does not allow it yet.\n\n"
    "To allow it, select Allow USB Access and enter an administrator password. This also "
    "installs the screen capture helper. The KVM can show your screen after you log out and "
    "log in again.";

std::optional<std::string> program_path() {
  const char* appimage = std::getenv("APPIMAGE");
  if (appimage && appimage[0] == '/') return appimage;
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return self.string();
}

bool shell_safe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("/._-+:,@%=").find(c) != std::string_view::npos;
}

// Ends with the failure text; none when the installation succeeded.
struct Installation {
  bool succeeded = false;
  std::string failure;
};

std::string exit_failure(int status) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == 126) return "the password dialog was closed";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
    return "no administrator authorized it, or no password dialog could open";
  }
  return "the install failed (" + describe_wait_status(status) + "); the log has the reason";
}

Installation install(const std::string& path, const StopFlag& stop, Clock& clock) {
  auto child = ChildProcess::spawn("pkexec", {path, "--install-linux-access"},
                                   {.input = ChildStdio::null_device});
  if (!child) return {false, "could not run pkexec: " + os_error_text(child.error())};
  for (;;) {
    auto polled = child->try_wait();
    if (!polled) return {false, os_error_text(polled.error())};
    if (polled->ended) {
      bool clean = WIFEXITED(polled->status) && WEXITSTATUS(polled->status) == 0;
      return clean ? Installation{true, {}} : Installation{false, exit_failure(polled->status)};
    }
    if (stop->load()) {
      child->kill_and_reap();
      return {false, "the service stopped"};
    }
    clock.sleep_for(poll_interval);
  }
}

// Keeps the warning on the screen until the user dismisses it, the rule
// appears or the plugged-in KVMs change. Runs on its own real clock: it
// belongs to no loop.
void warning_watcher(DialogChild dialog, CandidateSnapshot devices,
                   std::function<CandidateSnapshot()> snapshot, std::filesystem::path root) {
  while (!usb_rule_installed(root) && snapshot() == devices) {
    auto state = dialog.poll();
    if (state && *state != DialogState::running) break;
    std::this_thread::sleep_for(poll_interval);
  }
  dialog.close();
}

class Prompt {
 public:
  Prompt(PromptedDevices& prompted, const StopFlag& stop, const UsbAccessEnvironment& env)
      : prompted_(prompted), stop_(stop), env_(env) {}

  void run(const std::string& error_text) {
    log_line("corvane: " + error_text);
    const auto devices = env_.snapshot();
    if (usb_rule_installed(env_.root)) return pause();
    if (prompted_ == devices) return pause();
    prompted_.reset();
    auto path = program_path();
    if (!path) return pause();
    const auto command = install_command_text(*path);
    auto dialog = DialogChild::start(usb_access_question());
    if (!dialog) {
      log_line("corvane: no dialog program found to ask for USB access; run: " + command);
      return settle(devices);
    }
    if (!ask(*dialog, devices, command)) return;
    report(install(*path, stop_, env_.clock), devices, command);
  }

 private:
  void pause() { error_pause(stop_, env_.clock); }

  void settle(const CandidateSnapshot& devices) {
    prompted_ = devices;
    pause();
  }

  // true when the user allowed it; otherwise everything is done.
  bool ask(DialogChild& dialog, const CandidateSnapshot& devices, const std::string& command) {
    for (;;) {
      if (stop_->load() || env_.snapshot() != devices || usb_rule_installed(env_.root)) {
        dialog.close();
        pause();
        return false;
      }
      auto state = dialog.poll();
      if (!state) {
        log_line("corvane: the USB access dialog failed: " + state.error().message);
        settle(devices);
        return false;
      }
      if (*state == DialogState::accepted) return true;
      if (*state == DialogState::ended) {
        log_line("corvane: USB access not allowed; to allow it, run: " + command);
        settle(devices);
        return false;
      }
      env_.clock.sleep_for(poll_interval);
    }
  }

  void report(const Installation& installation, const CandidateSnapshot& devices,
              const std::string& command) {
    if (installation.succeeded) {
      log_line("corvane: installed USB access");
      return;
    }
    if (usb_rule_installed(env_.root)) {
      log_line("corvane: installed USB access, but not capture: " + installation.failure);
      return;
    }
    log_line("corvane: USB access not installed: " + installation.failure + "; run: " + command);
    show_warning(installation.failure, devices, command);
    settle(devices);
  }

  void show_warning(const std::string& failure, const CandidateSnapshot& devices,
                    const std::string& command) {
    auto warning = DialogChild::start(dialog_command(
        "--warning", "USB access not allowed",
        "Corvane could not allow USB access: " + failure +
            ".\n\nTo allow it, run this command in a terminal:\n\n" + command));
    if (!warning) return;
    std::thread(warning_watcher, std::move(*warning), devices, env_.snapshot, env_.root).detach();
  }

  PromptedDevices& prompted_;
  const StopFlag& stop_;
  const UsbAccessEnvironment& env_;
};

}  // namespace

DialogCommand usb_access_question() {
  return dialog_command("--question", "Allow USB access?", question_text,
                        {"--ok-label", "Allow USB Access", "--cancel-label", "Not Now"});
}

std::string install_command_text(std::string_view program_path) {
  auto text = from_utf8_lossy(program_path);
  std::string quoted;
  if (!text.empty() && std::ranges::all_of(text, shell_safe)) {
    quoted = text;
  } else {
    quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
  }
  return "sudo " + quoted + " --install-linux-access";
}

void usb_access_prompt(const std::string& error_text, PromptedDevices& prompted_devices,
                       const StopFlag& stop, const UsbAccessEnvironment& environment) {
  Prompt(prompted_devices, stop, environment).run(error_text);
}

}  // namespace corvane
