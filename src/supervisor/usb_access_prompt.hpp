#pragma once
// Asked when a KVM is plugged in but this computer does not let the desktop
// user open it: offers to install the USB access rule (and the capture
// helper) through pkexec, and says what to type when that is not possible.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "session/candidate_snapshot.hpp"
#include "shutdown.hpp"
#include "supervisor/dialog.hpp"
#include "system/clock.hpp"

namespace corvane {

// The devices for which the question is settled, so that they are not
// asked about again; absent when nothing is settled.
using PromptedDevices = std::optional<CandidateSnapshot>;

struct UsbAccessEnvironment {
  // Callable from any thread for as long as the process lives: the warning
  // dialog's watcher outlives the prompt.
  std::function<CandidateSnapshot()> snapshot;
  // "/" except in tests: where the USB access rule is looked for.
  std::filesystem::path root = "/";
  Clock& clock;
};

// The question that offers to install USB access.
DialogCommand usb_access_question();

// "sudo <program path, quoted for a shell> --install-linux-access"
std::string install_command_text(std::string_view program_path);

void usb_access_prompt(const std::string& error_text, PromptedDevices& prompted_devices,
                       const StopFlag& stop, const UsbAccessEnvironment& environment);

}  // namespace corvane
