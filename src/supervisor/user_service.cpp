#include "supervisor/user_service.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "supervisor/run_tool.hpp"
#include "system/files.hpp"
#include "system/paths.hpp"
#include "system/utf8.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;

constexpr const char* packaged_unit_path = "/usr/lib/systemd/user/corvane.service";

Result<> systemctl(std::vector<std::string> args) {
  args.insert(args.begin(), "--user");
  return run_tool("systemctl", args);
}

Result<> disable() { return systemctl({"disable", "--now", "corvane.service"}); }
Result<> daemon_reload() { return systemctl({"daemon-reload"}); }
Result<> unmask() { return systemctl({"unmask", "corvane.service"}); }
Result<> import_environment() {
  return systemctl(
      {"import-environment", "DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"});
}
Result<> restart() { return systemctl({"restart", "corvane.service"}); }
Result<> enable() { return systemctl({"enable", "corvane.service"}); }
Result<> mask() { return systemctl({"mask", "--now", "corvane.service"}); }

bool status_readable(const fs::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0;
}

bool is_masked(const fs::path& unit) {
  std::error_code error;
  auto target = fs::read_symlink(unit, error);
  return !error && target == "/dev/null";
}

// Stops and deletes a unit we wrote earlier, so it cannot shadow the
// packaged one or outlive a removal.
Result<> remove_user_unit(const fs::path& unit) {
  if (auto done = disable(); !done) return done;
  std::error_code error;
  fs::remove(unit, error);
  if (error) return fail(error.message());
  return daemon_reload();
}

Result<std::string> exec_path_for_unit() {
  if (const char* appimage = std::getenv("APPIMAGE")) return std::string(appimage);
  auto executable = executable_path();
  if (!executable) return std::unexpected(executable.error());
  return executable->string();
}

Result<> write_own_unit(const fs::path& unit) {
  auto exec_path = exec_path_for_unit();
  if (!exec_path) return std::unexpected(exec_path.error());
  if (!is_valid_utf8(*exec_path)) return fail("executable path is not UTF-8");

  std::error_code error;
  fs::create_directories(unit.parent_path(), error);
  if (error) return fail(error.message());

  if (exec_path->find_first_of(std::string_view("\0\n\r", 3)) != std::string::npos) {
    return fail("executable path contains a control character");
  }
  // A rename replaces whatever holds the name, a mask link included, where
  // writing through the link would go to /dev/null.
  auto temporary = unit;
  temporary += "." + std::to_string(::getpid());
  if (auto written = replace_file(unit, temporary, unit_file_text(*exec_path)); !written) {
    return written;
  }
  for (auto step : {daemon_reload, enable, import_environment, restart}) {
    if (auto done = step(); !done) return done;
  }
  return {};
}

}  // namespace

std::string escape_exec_path(std::string_view exec_path) {
  std::string escaped;
  for (char c : exec_path) {
    switch (c) {
      case '\\': escaped += "\\\\"; break;
      case '"': escaped += "\\\""; break;
      case '%': escaped += "%%"; break;
      case '$': escaped += "$$"; break;
      default: escaped.push_back(c);
    }
  }
  return escaped;
}

std::string unit_file_text(std::string_view exec_path) {
  return "[Unit]\n"
         "Description=Corvane\n"
         "After=graphical-session.target\n"
         "PartOf=graphical-session.target\n"
         "ConditionUser=!@system\n"
         "\n"
         "[Service]\n"
         "ExecStart=\"" + escape_exec_path(exec_path) + "\" --run\n"
         "Restart=on-failure\n"
         "RestartSec=2\n"
         "KillMode=mixed\n"
         "TimeoutStopSec=10\n"
         "\n"
         "[Install]\n"
         "WantedBy=graphical-session.target\n";
}

Result<> install_service(bool install) {
  if (::geteuid() == 0) return fail("install the service as the desktop user, without sudo");
  auto config = config_dir();
  if (!config) return fail("no user configuration directory");
  const fs::path unit = *config / "systemd/user/corvane.service";

  const bool packaged = std::getenv("APPIMAGE") == nullptr && status_readable(packaged_unit_path);
  const bool masked = is_masked(unit);

  if (status_readable(unit)) {
    if (masked) {
      if (!install) return packaged ? mask() : Result<>{};
      if (auto done = unmask(); !done) return done;
    } else if (packaged || !install) {
      if (auto done = remove_user_unit(unit); !done) return done;
    }
  }

  if (packaged) {
    if (!install) return mask();
    if (auto done = import_environment(); !done) return done;
    return restart();
  }
  if (!install) return {};
  return write_own_unit(unit);
}

}  // namespace corvane
