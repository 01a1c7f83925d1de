#pragma once
// A pseudo-terminal pair and a program started on its slave side as the
// leader of a new session, with the slave as its controlling terminal.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "system/child_process.hpp"
#include "system/unique_fd.hpp"

namespace corvane {

struct TerminalSize {
  uint16_t rows = 0;
  uint16_t columns = 0;
};

struct TerminalCommand {
  std::string program;
  std::vector<std::string> args;
  // Whole "NAME=value" entries; nothing is inherited beyond these.
  std::vector<std::string> environment;
  std::optional<std::string> working_directory;
};

class PseudoTerminal {
 public:
  // The master is close-on-exec and non-blocking; the slave is opened only
  // by the child, so the master reports end of file once the child side
  // is gone.
  static Result<PseudoTerminal> open(TerminalSize size);

  Result<ChildProcess> spawn(const TerminalCommand& command) const;
  Result<> resize(TerminalSize size) const;
  // Another descriptor for the same master, for a thread of its own.
  Result<UniqueFd> clone_master() const;

  int master() const { return master_.get(); }

 private:
  PseudoTerminal(UniqueFd master, std::string slave_path)
      : master_(std::move(master)), slave_path_(std::move(slave_path)) {}

  UniqueFd master_;
  std::string slave_path_;
};

}  // namespace corvane
