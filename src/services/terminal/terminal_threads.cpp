#include "services/terminal/terminal_threads.hpp"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace corvane {
namespace {

using namespace std::chrono_literals;

constexpr auto waiter_poll_period = 50ms;
constexpr auto hangup_grace = 500ms;

enum class Ready { fd, hung_up, failed };

// Waits until fd is ready for events or the hang-up pipe is closed.
Ready wait_for(int fd, short events, int hangup) {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {hangup, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return Ready::failed;
    }
    if (fds[1].revents != 0) return Ready::hung_up;
    if (fds[0].revents != 0) return Ready::fd;
  }
}

bool write_all(int fd, int hangup, const std::vector<uint8_t>& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (count > 0) {
      written += static_cast<size_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN) return false;
    if (wait_for(fd, POLLOUT, hangup) != Ready::fd) return false;
  }
  return true;
}

bool has_ended(ChildProcess& child) {
  auto polled = child.try_wait();
  return !polled || polled->ended;
}

void end_shell(ChildProcess& child) {
  if (has_ended(child)) return;
  ::kill(child.pid(), SIGHUP);
  const auto deadline = std::chrono::steady_clock::now() + hangup_grace;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(waiter_poll_period);
    if (has_ended(child)) return;
  }
  child.kill_and_reap();
}

}  // namespace

void run_terminal_reader(TerminalReader reader) {
  std::vector<uint8_t> buffer(terminal_read_size);
  for (;;) {
    auto ready = wait_for(reader.master.get(), POLLIN, reader.hangup.get());
    if (ready == Ready::hung_up) return;
    ssize_t count = ready == Ready::fd ? ::read(reader.master.get(), buffer.data(), buffer.size()) : -1;
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (count <= 0) {
      reader.events.send(TerminalEvent{TerminalEvent::Kind::output_ended, reader.tag, {}});
      reader.wake();
      return;
    }
    const auto length = static_cast<size_t>(count);
    if (!reader.backlog->admit(length)) return;
    TerminalEvent output{TerminalEvent::Kind::output, reader.tag,
                         {buffer.begin(), buffer.begin() + count}};
    if (!reader.events.send(std::move(output))) return;
    reader.wake();
  }
}

void run_terminal_writer(TerminalWriter writer) {
  TerminalInputBytes bytes;
  while (writer.input.take(bytes)) {
    if (!write_all(writer.master.get(), writer.hangup.get(), bytes)) return;
  }
}

void run_terminal_waiter(TerminalWaiter waiter) {
  for (;;) {
    if (has_ended(waiter.child)) break;
    auto received = waiter.stop.receive(waiter_poll_period);
    if (received.status == ReceiveStatus::closed) {
      end_shell(waiter.child);
      break;
    }
  }
  waiter.events.send(TerminalEvent{TerminalEvent::Kind::exited, waiter.tag, {}});
  waiter.wake();
}

std::string terminal_thread_name(uint32_t id, const char* role) {
  return "terminal-" + std::to_string(id) + "-" + role;
}

}  // namespace corvane
