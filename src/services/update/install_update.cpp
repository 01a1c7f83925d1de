#include "services/update/install_update.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "log.hpp"
#include "supervisor/run_tool.hpp"

namespace corvane {
namespace {

Result<> replace_program(const StagedUpdate& update) {
  const auto& package = update.package;
  if (::chmod(package.c_str(), 0755) != 0) {
    return fail("could not make " + package.string() + " executable: " + os_error_text(errno));
  }
  // The package lies in the program's folder, so this swaps the program
  // file in one step.
  if (std::rename(package.c_str(), update.target.program_path.c_str()) != 0) {
    return fail("could not move the package over " + update.target.program_path + ": " +
                os_error_text(errno));
  }
  return run_tool("systemctl", {"--user", "--no-block", "restart", "corvane.service"});
}

}  // namespace

Result<> install_update(const StagedUpdate& update) {
  log_line("corvane: installing the update over " + update.target.program_path);
  auto installed = replace_program(update);
  if (!installed) {
    ::unlink(update.package.c_str());
    log_line("corvane: update not installed: " + installed.error().message);
  }
  return installed;
}

}  // namespace corvane
