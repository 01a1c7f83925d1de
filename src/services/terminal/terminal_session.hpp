#pragma once
// One open terminal as the hub keeps it: the shell's input queue while it
// runs, or the instant it is to be closed once it has exited. Dropping it
// ends the shell (SIGHUP, then a kill 500 ms later) and the threads.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "error.hpp"
#include "services/terminal/backlog.hpp"
#include "services/terminal/input_queue.hpp"
#include "services/terminal/pseudo_terminal.hpp"
#include "services/terminal/terminal_event.hpp"
#include "services/terminal/terminal_threads.hpp"
#include "system/channel.hpp"
#include "system/clock.hpp"
#include "system/unique_fd.hpp"

namespace corvane {

// What a new terminal's threads share with the hub.
struct TerminalLinks {
  Sender<TerminalEvent> events;
  std::shared_ptr<Backlog> backlog;
  std::function<void()> wake;
};

class TerminalSession {
 public:
  // Opens the pty, spawns the command on it and starts the three threads.
  static Result<TerminalSession> start(TerminalTag tag, TerminalSize size,
                                       const TerminalCommand& command,
                                       const TerminalLinks& links);

  uint64_t serial() const { return serial_; }
  bool running() const { return input_.has_value(); }
  Clock::time_point close_at() const { return close_at_; }

  // Never waits.
  InputSender::Offer offer_input(TerminalInputBytes bytes);
  // Errors are of no consequence to the KVM.
  void resize(TerminalSize size);
  // The shell has exited: its input and pty go now, its output may still
  // be draining until close_at.
  void end(Clock::time_point close_at);

 private:
  TerminalSession(uint64_t serial, InputSender input, Sender<WaiterStop> stop,
                  PseudoTerminal pty, UniqueFd hangup)
      : serial_(serial),
        input_(std::move(input)),
        stop_(std::move(stop)),
        pty_(std::move(pty)),
        hangup_(std::move(hangup)) {}

  uint64_t serial_;
  std::optional<InputSender> input_;
  Clock::time_point close_at_{};
  std::optional<Sender<WaiterStop>> stop_;
  std::optional<PseudoTerminal> pty_;
  // Its closing tells the reader and the writer that the terminal is gone,
  // even while something else keeps the pty's slave side open.
  UniqueFd hangup_;
};

}  // namespace corvane
