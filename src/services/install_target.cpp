#include "services/install_target.hpp"

#include <cstdlib>
#include <filesystem>

#include "log.hpp"

namespace corvane {

InstallTarget install_target_for(const std::string& program_path) {
  const std::filesystem::path program(program_path);
  std::string staging = program.parent_path().string();
  if (!staging.empty() && staging.back() != '/') staging.push_back('/');
  staging += "." + program.filename().string() + ".update";
  return {program_path, staging, platform_linux_x86_64_appimage};
}

std::optional<InstallTarget> determine_install_target() {
  const char* appimage = std::getenv("APPIMAGE");
  if (!appimage) {
    log_line("corvane: this installation cannot update itself from the KVM");
    return std::nullopt;
  }
  return install_target_for(appimage);
}

}  // namespace corvane
