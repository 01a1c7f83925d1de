#pragma once
// A dialog window is a child process that the caller polls, so the caller
// keeps watching other things (a stop request, the plugged-in KVMs) while
// the dialog is on the screen.
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "system/child_process.hpp"

namespace corvane {

struct DialogCommand {
  std::string program;
  std::vector<std::string> args;
};

// zenity <kind> --no-markup --width 460 --title <title> --text <text> <extra...>
DialogCommand dialog_command(const std::string& kind, const std::string& title,
                             const std::string& text, const std::vector<std::string>& extra = {});

enum class DialogState { running, accepted, ended };

class DialogChild {
 public:
  // Nothing when no dialog program can be started.
  static std::optional<DialogChild> start(const DialogCommand& command);

  // Never blocks. Reports accepted (exit status 0) once; every poll after
  // the one that saw the end answers ended.
  Result<DialogState> poll();

  // Kills and reaps the dialog if it still runs; a finished one is left alone.
  void close() { child_.kill_and_reap(); }

  bool running() const { return child_.running(); }

 private:
  explicit DialogChild(ChildProcess child) : child_(std::move(child)) {}
  ChildProcess child_;
};

}  // namespace corvane
