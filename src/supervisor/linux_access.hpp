#pragma once
// What needs root once before the service can serve a KVM: the udev rule
// that lets the desktop user open the KVM's USB device, and the capture
// helper with CAP_SYS_ADMIN, runnable by the corvane-capture group.
#include <filesystem>
#include <string>
#include <vector>

#include "error.hpp"

namespace corvane {

enum class LinuxAccess { all, usb_only, capture_only };

extern const char* const usb_rule_text;

// Reads need no rights. root is "/" except in tests, which point it at a
// fixture tree.
bool usb_rule_installed(const std::filesystem::path& root = "/");

// The sysfs names (such as 1-2) of plugged-in USB devices with a KVM
// interface, sorted, each once.
std::vector<std::string> plugged_in_kvm_devices(const std::filesystem::path& root = "/");

Result<> install_usb_rule();
Result<> install_capture_helper();
Result<> install_linux_access(LinuxAccess what);

}  // namespace corvane
