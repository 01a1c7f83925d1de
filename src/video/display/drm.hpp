#pragma once
// Which displays the computer has, read from the kernel's DRM sysfs tree
// and the capture library's connector list. Nothing is cached: every call
// sees the monitors as they are now. root is "/" except in tests, which
// point it at a fixture tree; device paths stay /dev/dri/... either way.
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "error.hpp"

namespace corvane {

struct Display {
  std::string card;       // card0
  std::string connector;  // HDMI-A-1
  DisplayInfo info;

  // card0-HDMI-A-1: the only key for a display anywhere in corvane.
  std::string name() const;
  // Lit with a mode; a display that exists but is not online is inactive.
  bool online() const;
  bool primary() const;
};

// Every display of every DRM card, sorted by name as byte strings (stable).
// Fails only when /sys/class/drm cannot be read.
Result<std::vector<Display>> list_displays(const std::filesystem::path& root = "/");

// The online display called name; an inactive one counts as absent.
struct FoundDisplay {
  std::optional<Display> display;
};
Result<FoundDisplay> find_display(const std::string& name, const std::filesystem::path& root = "/");

// Names of the online displays in list order; empty when listing fails.
std::vector<std::string> online_display_names(const std::filesystem::path& root = "/");

// Names of all displays, online or not, whose EDID carries the KVM's
// manufacturer code; empty when listing fails.
std::set<std::string> kvm_display_names(const std::filesystem::path& root = "/");

// "card0-HDMI-A-1=1920x1080 origin=(0, 0) primary=true online=true, ..."
std::string describe_displays(const std::vector<Display>& displays);

// Whether the DRM device node (/dev/dri/card1) is driven by NVIDIA's
// kernel driver, which decides the encoder family.
bool is_nvidia_device(const std::string& device_path, const std::filesystem::path& root = "/");

}  // namespace corvane
