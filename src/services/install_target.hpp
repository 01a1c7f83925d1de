#pragma once
// Where a self-update would be installed: only a program started as an
// AppImage (APPIMAGE names its file) can replace itself.
#include <optional>
#include <string>

namespace corvane {

struct InstallTarget {
  std::string program_path;  // APPIMAGE, unchanged
  std::string staging_path;  // .<name>.update beside the program
  unsigned platform;         // index into the update.state platform names
};

constexpr unsigned platform_linux_x86_64_appimage = 2;

InstallTarget install_target_for(const std::string& program_path);

// Read once when --run starts; without APPIMAGE it logs that this
// installation cannot update itself.
std::optional<InstallTarget> determine_install_target();

}  // namespace corvane
