#include "supervisor/run_tool.hpp"

#include <sys/wait.h>

#include "system/child_process.hpp"

namespace corvane {

Result<> run_tool(const std::string& program, const std::vector<std::string>& args) {
  auto child = ChildProcess::spawn(program, args);
  if (!child) return fail("could not run " + program + ": " + os_error_text(child.error()));
  auto status = child->wait();
  if (!status) return fail("could not run " + program + ": " + os_error_text(status.error()));
  if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) return {};
  return fail(program + " exited with " + describe_wait_status(*status));
}

}  // namespace corvane
