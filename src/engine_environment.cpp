#include "engine_environment.hpp"

#include <sys/stat.h>

#include <cstdlib>

#include "system/paths.hpp"

namespace corvane {
namespace {

constexpr const char* installed_helper = "/usr/local/libexec/scanwell-helper";

bool status_readable(const std::filesystem::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0;
}

}  // namespace

EngineEnvironment decide_engine_environment(
    const std::optional<std::filesystem::path>& executable, const char* current_lib,
    const char* current_helper, const std::function<bool(const std::filesystem::path&)>& exists) {
  auto library_dir = executable ? library_dir_beside(*executable) : std::nullopt;
  EngineEnvironment decided;

  if (current_lib) {
    decided.scanwell_lib = current_lib;
  } else if (library_dir && exists(*library_dir / "libscanwell.so.0")) {
    decided.scanwell_lib = (*library_dir / "libscanwell.so.0").string();
  }

  // Only a helper under /usr can be the capability-carrying one of a
  // package; anything else would be an unprivileged copy, so the installed
  // helper is used instead.
  if (current_helper) {
    decided.scanwell_helper = current_helper;
  } else if (auto beside = library_dir ? std::optional(*library_dir / "scanwell-helper")
                                       : std::nullopt;
             beside && exists(*beside) && is_below_usr(*beside)) {
    decided.scanwell_helper = beside->string();
  } else {
    decided.scanwell_helper = installed_helper;
  }
  return decided;
}

void prepare_engine_environment() {
  auto executable = executable_path();
  auto decided = decide_engine_environment(
      executable ? std::optional(*executable) : std::nullopt, std::getenv("CORVANE_SCANWELL_LIB"),
      std::getenv("CORVANE_SCANWELL_HELPER"), status_readable);
  if (decided.scanwell_lib) ::setenv("CORVANE_SCANWELL_LIB", decided.scanwell_lib->c_str(), 0);
  ::setenv("CORVANE_SCANWELL_HELPER", decided.scanwell_helper.c_str(), 0);
}

}  // namespace corvane
