#include "services/terminal/terminal_session.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <system_error>
#include <thread>

namespace corvane {
namespace {

template <class Body>
Result<> start_detached(const std::string& name, Body body) {
  try {
    std::thread([os_name = name.substr(0, 15), body = std::move(body)]() mutable {
      ::pthread_setname_np(::pthread_self(), os_name.c_str());
      body();
    }).detach();
    return {};
  } catch (const std::system_error& error) {
    return fail("could not start " + name + ": " + error.what());
  }
}

struct HangupPipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

Result<HangupPipe> make_hangup_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) < 0) return fail("could not create a pipe: " + os_error_text(errno));
  return HangupPipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

Result<UniqueFd> duplicate(const UniqueFd& fd) {
  UniqueFd copy(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!copy) return fail("could not duplicate a descriptor: " + os_error_text(errno));
  return copy;
}

}  // namespace

Result<TerminalSession> TerminalSession::start(TerminalTag tag, TerminalSize size,
                                               const TerminalCommand& command,
                                               const TerminalLinks& links) {
  auto pty = PseudoTerminal::open(size);
  if (!pty) return std::unexpected(pty.error());
  auto child = pty->spawn(command);
  if (!child) return std::unexpected(child.error());
  auto reader_master = pty->clone_master();
  if (!reader_master) return std::unexpected(reader_master.error());
  auto writer_master = pty->clone_master();
  if (!writer_master) return std::unexpected(writer_master.error());
  auto hangup = make_hangup_pipe();
  if (!hangup) return std::unexpected(hangup.error());
  auto writer_hangup = duplicate(hangup->read_end);
  if (!writer_hangup) return std::unexpected(writer_hangup.error());
  auto input = make_input_queue();
  auto stop = make_channel<WaiterStop>();

  // The session exists before the threads do: if one cannot start, the
  // session's drop ends the shell and the threads already running.
  TerminalSession session(tag.serial, std::move(input.sender), std::move(stop.sender),
                          std::move(*pty), std::move(hangup->write_end));
  TerminalWaiter waiter{tag, std::move(*child), std::move(stop.receiver), links.events,
                        links.wake};
  auto started = start_detached(terminal_thread_name(tag.id, "wait"),
                                [waiter = std::move(waiter)]() mutable {
                                  run_terminal_waiter(std::move(waiter));
                                });
  if (!started) return std::unexpected(started.error());
  TerminalReader reader{tag,           std::move(*reader_master), std::move(hangup->read_end),
                        links.events,  links.backlog,             links.wake};
  started = start_detached(terminal_thread_name(tag.id, "read"),
                           [reader = std::move(reader)]() mutable {
                             run_terminal_reader(std::move(reader));
                           });
  if (!started) return std::unexpected(started.error());
  TerminalWriter writer{std::move(input.receiver), std::move(*writer_master),
                        std::move(*writer_hangup)};
  started = start_detached(terminal_thread_name(tag.id, "write"),
                           [writer = std::move(writer)]() mutable {
                             run_terminal_writer(std::move(writer));
                           });
  if (!started) return std::unexpected(started.error());
  return session;
}

InputSender::Offer TerminalSession::offer_input(TerminalInputBytes bytes) {
  if (!input_) return InputSender::Offer::closed;
  return input_->offer(std::move(bytes));
}

void TerminalSession::resize(TerminalSize size) {
  if (pty_) (void)pty_->resize(size);
}

void TerminalSession::end(Clock::time_point close_at) {
  input_.reset();
  stop_.reset();
  pty_.reset();
  close_at_ = close_at;
}

}  // namespace corvane
