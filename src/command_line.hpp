#pragma once
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "fingerprint.hpp"

namespace corvane {

enum class Mode {
  capture_test,
  install_and_notify,  // no arguments: what a file manager starts
  run,
  install_service,
  uninstall_service,
  install_linux_access,
  install_linux_usb_access,
  install_linux_capture_access,
  approve_kvm,
  forget_kvm,
};

struct Command {
  Mode mode;
  std::optional<Fingerprint> fingerprint;   // approve_kvm, forget_kvm
  std::vector<std::string> capture_test_args;  // the whole list, --capture-test included
};

extern const char* const usage_text;

// args are the process arguments after the program name, raw bytes.
// Arguments that are not UTF-8 become empty strings, so they never match.
// Fails with the usage text or the fingerprint parser's error.
Result<Command> parse_command_line(const std::vector<std::string>& args);

}  // namespace corvane
