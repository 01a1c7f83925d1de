#include "supervisor/dialog.hpp"

#include <sys/wait.h>

namespace corvane {

DialogCommand dialog_command(const std::string& kind, const std::string& title,
                             const std::string& text, const std::vector<std::string>& extra) {
  DialogCommand command{"zenity",
                        {kind, "--no-markup", "--width", "460", "--title", title, "--text", text}};
  command.args.insert(command.args.end(), extra.begin(), extra.end());
  return command;
}

std::optional<DialogChild> DialogChild::start(const DialogCommand& command) {
  auto child = ChildProcess::spawn(
      command.program, command.args,
      {.input = ChildStdio::inherit, .output = ChildStdio::null_device,
       .error = ChildStdio::null_device});
  if (!child) return std::nullopt;
  return DialogChild(std::move(*child));
}

Result<DialogState> DialogChild::poll() {
  if (!child_.running()) return DialogState::ended;
  auto status = child_.try_wait();
  if (!status) return fail(os_error_text(status.error()));
  if (!status->ended) return DialogState::running;
  bool accepted = WIFEXITED(status->status) && WEXITSTATUS(status->status) == 0;
  return accepted ? DialogState::accepted : DialogState::ended;
}

}  // namespace corvane
