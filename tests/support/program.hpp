#pragma once
// Runs a real program the way a user or systemd would, and collects what
// it wrote and how it ended.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace corvane::test {

struct ProgramResult {
  int exit_code = -1;   // -1 when it did not exit normally
  int signal = 0;       // the terminating signal, if any
  std::string out;
  std::string err;
};

struct ProgramOptions {
  std::vector<std::string> env;  // the whole environment, KEY=VALUE
  bool stdout_on_terminal = false;
};

// A started program whose output is collected while it runs.
class RunningProgram {
 public:
  RunningProgram(const std::vector<std::string>& argv, const ProgramOptions& options);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  // Collects output until standard error contains text; false when the
  // program ends first or the (generous) limit passes.
  bool wait_for_stderr(const std::string& text,
                       std::chrono::seconds limit = std::chrono::seconds(60));
  void send_signal(int signal_number);
  // Collects the rest and the exit; kills the program after the limit.
  ProgramResult finish(std::chrono::seconds limit = std::chrono::seconds(60));

 private:
  void pump(std::chrono::milliseconds wait);
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  ProgramResult result_;
};

ProgramResult run_program(const std::vector<std::string>& argv, const ProgramOptions& options);

}  // namespace corvane::test
