#include "services/terminal/terminal_service.hpp"

#include <cstdlib>
#include <string_view>

#include "log.hpp"
#include "system/utf8.hpp"

extern char** environ;

namespace corvane {
namespace {

std::optional<std::string> utf8_variable(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !is_valid_utf8(value)) return std::nullopt;
  return std::string(value);
}

}  // namespace

TerminalCommand login_shell_command() {
  TerminalCommand command;
  command.program = utf8_variable("SHELL").value_or("/bin/sh");
  command.args = {"-l"};
  for (char** entry = environ; *entry; ++entry) {
    if (std::string_view(*entry).starts_with("TERM=")) continue;
    command.environment.emplace_back(*entry);
  }
  command.environment.emplace_back("TERM=xterm-256color");
  command.working_directory = utf8_variable("HOME");
  return command;
}

TerminalService::TerminalService(InFlightCounter in_flight, std::function<void()> wake,
                                 Clock& clock)
    : TerminalService(make_channel<TerminalEvent>(), std::move(in_flight), std::move(wake),
                      clock) {}

TerminalService::TerminalService(Channel<TerminalEvent> events, InFlightCounter in_flight,
                                 std::function<void()> wake, Clock& clock)
    : events_(std::move(events.receiver)),
      event_sender_(std::move(events.sender)),
      in_flight_(std::move(in_flight)),
      wake_(std::move(wake)),
      clock_(clock) {}

TerminalService::~TerminalService() {
  backlog_->close();
  held_back_.reset();
  sessions_.clear();
  credits_.clear();
}

void TerminalService::open(const TerminalOpen& request, bool enabled, TerminalMessages& out) {
  auto answer = [&](uint8_t status) { out.push_back(TerminalOpened{request.id, status}); };
  if (!enabled) return answer(terminal_status::switched_off);
  if (sessions_.contains(request.id)) return answer(terminal_status::not_started);
  if (sessions_.size() >= max_open_terminals) return answer(terminal_status::too_many);
  TerminalSize size{request.rows, request.columns};
  if (size.rows == 0 || size.columns == 0) size = default_terminal_size;
  TerminalTag tag{request.id, next_serial_++};
  auto session = TerminalSession::start(tag, size, login_shell_command(),
                                        {event_sender_, backlog_, wake_});
  if (!session) {
    log_line("corvane: terminal " + std::to_string(request.id) +
             " could not start a shell: " + session.error().message);
    return answer(terminal_status::not_started);
  }
  sessions_.emplace(request.id, std::move(*session));
  credits_[request.id] = initial_terminal_credit;
  answer(terminal_status::opened);
}

void TerminalService::input(TerminalInput request, TerminalMessages& out) {
  auto found = sessions_.find(request.id);
  if (found == sessions_.end() || !found->second.running()) return;
  if (found->second.offer_input(std::move(request.data)) == InputSender::Offer::taken) return;
  log_line("corvane: terminal " + std::to_string(request.id) + " stopped taking input");
  close(request.id, terminal_close_reason::stopped_taking_input, out);
}

void TerminalService::resize(const TerminalResize& request) {
  auto found = sessions_.find(request.id);
  if (found == sessions_.end() || !found->second.running()) return;
  found->second.resize({request.rows, request.columns});
}

void TerminalService::credit(const TerminalCredit& request) {
  auto found = credits_.find(request.id);
  if (found != credits_.end()) found->second += request.amount;
}

void TerminalService::close(uint32_t id, uint8_t reason, TerminalMessages& out) {
  credits_.erase(id);
  if (held_back_ && held_back_->tag.id == id) held_back_.reset();
  auto found = sessions_.find(id);
  if (found == sessions_.end()) return;
  sessions_.erase(found);
  out.push_back(TerminalClosed{id, reason});
}

void TerminalService::close_all(uint8_t reason, TerminalMessages& out) {
  while (!sessions_.empty()) close(sessions_.begin()->first, reason, out);
}

TerminalSession* TerminalService::find(TerminalTag tag) {
  auto found = sessions_.find(tag.id);
  if (found == sessions_.end() || found->second.serial() != tag.serial) return nullptr;
  return &found->second;
}

void TerminalService::close_lingering(Clock::time_point now, TerminalMessages& out) {
  std::vector<uint32_t> due;
  for (const auto& [id, session] : sessions_) {
    if (!session.running() && session.close_at() <= now) due.push_back(id);
  }
  for (auto id : due) close(id, terminal_close_reason::ended, out);
}

TerminalService::Drained TerminalService::drain(TerminalMessages& out) {
  const uint64_t in_flight = in_flight_->load();
  const uint64_t room = in_flight > terminal_in_flight_limit ? 0 : terminal_in_flight_limit - in_flight;
  const auto now = clock_.now();
  if (!held_back_) close_lingering(now, out);
  const bool paused = now < drain_pause_;
  Drained drained{paused};
  if (in_flight >= terminal_in_flight_limit || paused) return drained;

  uint64_t sent = 0;
  for (auto step = Step::go_on; step == Step::go_on && sent < room;) {
    if (held_back_) {
      auto held = std::move(*held_back_);
      held_back_.reset();
      step = forward(held.tag, std::move(held.bytes), sent, out);
      continue;
    }
    auto received = events_.try_receive();
    if (received.status != ReceiveStatus::message) break;
    step = handle(*received.message, now, sent, out);
  }
  if (sent != 0) {
    drain_pause_ = now + drain_pause_length;
    drained.soon = sent >= room;
  }
  return drained;
}

TerminalService::Step TerminalService::handle(TerminalEvent& event, Clock::time_point now,
                                              uint64_t& sent, TerminalMessages& out) {
  switch (event.kind) {
    case TerminalEvent::Kind::output:
      backlog_->release(event.bytes.size());
      return forward(event.tag, std::move(event.bytes), sent, out);
    case TerminalEvent::Kind::output_ended:
      if (find(event.tag)) close(event.tag.id, terminal_close_reason::ended, out);
      break;
    case TerminalEvent::Kind::exited:
      if (auto* session = find(event.tag); session && session->running()) {
        session->end(now + exit_linger);
      }
      break;
  }
  return Step::go_on;
}

TerminalService::Step TerminalService::forward(TerminalTag tag, std::vector<uint8_t> bytes,
                                               uint64_t& sent, TerminalMessages& out) {
  // Output of a terminal that has been closed (or of an earlier terminal
  // under the same id) goes nowhere.
  if (!find(tag)) return Step::go_on;
  auto& credit = credits_.at(tag.id);
  if (credit < bytes.size()) {
    const auto forwarded = static_cast<std::ptrdiff_t>(credit);
    held_back_ = HeldBack{tag, {bytes.begin() + forwarded, bytes.end()}};
    bytes.resize(static_cast<size_t>(credit));
  }
  if (bytes.empty()) return Step::leave;
  credit -= bytes.size();
  sent += bytes.size();
  auto* last = out.empty() ? nullptr : std::get_if<TerminalOutput>(&out.back());
  if (last && last->id == tag.id && last->bytes.size() + bytes.size() < merged_output_limit) {
    last->bytes.insert(last->bytes.end(), bytes.begin(), bytes.end());
  } else {
    out.push_back(TerminalOutput{tag.id, std::move(bytes)});
  }
  return Step::go_on;
}

}  // namespace corvane
