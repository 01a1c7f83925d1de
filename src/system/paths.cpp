#include "system/paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "system/files.hpp"

namespace corvane {

Result<std::filesystem::path> executable_path() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return fail(error.message());
  return path;
}

std::optional<std::filesystem::path> home_dir() {
  if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home);
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir || !*found->pw_dir) {
    return std::nullopt;
  }
  return std::filesystem::path(found->pw_dir);
}

std::optional<std::filesystem::path> config_dir() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    return std::filesystem::path(xdg);
  }
  auto home = home_dir();
  if (!home) return std::nullopt;
  return *home / ".config";
}

std::optional<std::filesystem::path> library_dir_beside(const std::filesystem::path& executable) {
  if (!executable.has_parent_path() || executable.parent_path() == executable) return std::nullopt;
  return executable.parent_path() / "../lib/corvane";
}

bool is_below_usr(const std::filesystem::path& path) {
  auto component = path.begin();
  if (component == path.end() || *component != "/") return false;
  ++component;
  return component != path.end() && *component == "usr";
}

}  // namespace corvane
