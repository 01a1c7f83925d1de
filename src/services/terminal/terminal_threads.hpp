#pragma once
// The three threads of one terminal. Each owns everything it touches (its
// own descriptors, queue ends and shared handles), so none can outlive
// what it uses; the hub's side reaches them only through queues, the
// backlog and a hang-up pipe.
#include <functional>
#include <memory>
#include <string>

#include "services/terminal/backlog.hpp"
#include "services/terminal/input_queue.hpp"
#include "services/terminal/terminal_event.hpp"
#include "system/channel.hpp"
#include "system/child_process.hpp"
#include "system/unique_fd.hpp"

namespace corvane {

inline constexpr size_t terminal_read_size = 65524;

// Nothing is ever sent: the waiter ends the shell when the sender is gone.
struct WaiterStop {};

// Copies the shell's output into the event queue ("terminal-<id>-read").
// Ends on end of file or an error of the pty, when the backlog closes, or
// when the hang-up pipe's writing end is closed.
struct TerminalReader {
  TerminalTag tag;
  UniqueFd master;
  UniqueFd hangup;
  Sender<TerminalEvent> events;
  std::shared_ptr<Backlog> backlog;
  std::function<void()> wake;
};
void run_terminal_reader(TerminalReader reader);

// Copies the KVM's input into the shell ("terminal-<id>-write"). Ends when
// its queue closes, a write fails or the hang-up pipe closes.
struct TerminalWriter {
  InputReceiver input;
  UniqueFd master;
  UniqueFd hangup;
};
void run_terminal_writer(TerminalWriter writer);

// Watches the shell ("terminal-<id>-wait"); once the stop sender is gone
// it sends SIGHUP and kills the shell if it still runs 500 ms later.
struct TerminalWaiter {
  TerminalTag tag;
  ChildProcess child;
  Receiver<WaiterStop> stop;
  Sender<TerminalEvent> events;
  std::function<void()> wake;
};
void run_terminal_waiter(TerminalWaiter waiter);

// "terminal-12-read"; the operating system keeps 15 bytes of it.
std::string terminal_thread_name(uint32_t id, const char* role);

}  // namespace corvane
