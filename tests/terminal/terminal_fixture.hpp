#pragma once
// Real shells on real ptys, reached the way the KVM reaches them: the
// simulated KVM sends terminal messages over the in-process bus, the
// served session's hub runs the terminals, and the test reads what the
// KVM received. Waits poll with generous deadlines, never with tight ones.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvm_fixture.hpp"
#include "session/kvm_session.hpp"
#include "session/payload_writer.hpp"

namespace corvane::test {

inline uint32_t payload_u32(const Bytes& payload) {
  return static_cast<uint32_t>(payload[0]) | static_cast<uint32_t>(payload[1]) << 8 |
         static_cast<uint32_t>(payload[2]) << 16 | static_cast<uint32_t>(payload[3]) << 24;
}

class TerminalFixture : public testing::Test, protected KvmFixture {
 protected:
  TerminalFixture() { ::setenv("SHELL", "/bin/sh", 1); }

  void SetUp() override {
    device_ = &plug_approved();
    auto connected = connect(host, *store_path(), steady_clock());
    ASSERT_TRUE(connected);
    session_ = std::make_unique<KvmSession>(std::move(*connected), stop_, services());
  }

  void send(MessageId id, const Bytes& payload) {
    device_->with_kvm([&](SimulatedKvm& kvm) { kvm.send_frame(id, payload); });
  }
  void open(uint32_t id, uint16_t rows = 24, uint16_t columns = 80) {
    send(message::terminal_open, PayloadWriter().u32(id).u16(rows).u16(columns).take());
  }
  void input(uint32_t id, std::string_view text) {
    send(message::terminal_input, PayloadWriter().u32(id).text(text).take());
  }
  void resize(uint32_t id, uint16_t rows, uint16_t columns) {
    send(message::terminal_resize, PayloadWriter().u32(id).u16(rows).u16(columns).take());
  }
  void close(uint32_t id) { send(message::terminal_close, PayloadWriter().u32(id).take()); }
  void credit(uint32_t id, uint32_t amount) {
    send(message::terminal_credit, PayloadWriter().u32(id).u32(amount).take());
  }
  void terminals_enabled(bool enabled) {
    send(message::session_config,
         PayloadWriter()
             .text(std::string(R"({"terminal_enabled":)") + (enabled ? "true" : "false") +
                   R"(,"files_enabled":false})")
             .take());
  }

  // Serves the session until done() holds; false when the deadline passes
  // first or the session ends.
  bool serve_until(const std::function<bool()>& done,
                   std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (session_->wait_step().kind != WaitOutcome::Kind::go_on) return false;
    }
    return true;
  }
  // Keeps the session served for a while, so that anything that should
  // not arrive has had every chance to.
  void serve_for(std::chrono::milliseconds length) {
    const auto deadline = std::chrono::steady_clock::now() + length;
    while (std::chrono::steady_clock::now() < deadline) session_->wait_step();
  }

  // Every terminal message the KVM received, in order.
  std::vector<KvmFrame> terminal_frames() {
    std::vector<KvmFrame> frames;
    for (auto& frame : device_->received()) {
      if (frame.channel == message::terminal_state.channel) frames.push_back(std::move(frame));
    }
    return frames;
  }
  std::string output(uint32_t id) {
    std::string text;
    for (const auto& frame : terminal_frames()) {
      if (frame.id() != message::terminal_output || payload_u32(frame.payload) != id) continue;
      text.append(frame.payload.begin() + 4, frame.payload.end());
    }
    return text;
  }
  bool output_holds(uint32_t id, const std::string& piece) {
    return output(id).find(piece) != std::string::npos;
  }
  std::optional<uint8_t> last_status(MessageId id, uint32_t terminal) {
    std::optional<uint8_t> status;
    for (const auto& frame : terminal_frames()) {
      if (frame.id() == id && payload_u32(frame.payload) == terminal) status = frame.payload.at(4);
    }
    return status;
  }
  std::optional<uint8_t> opened(uint32_t id) { return last_status(message::terminal_opened, id); }
  std::optional<uint8_t> closed(uint32_t id) { return last_status(message::terminal_closed, id); }
  size_t count(MessageId id) {
    size_t n = 0;
    for (const auto& frame : terminal_frames()) n += frame.id() == id ? 1 : 0;
    return n;
  }

  // Opens a terminal and waits for its answer.
  std::optional<uint8_t> open_and_wait(uint32_t id, uint16_t rows = 24, uint16_t columns = 80) {
    const size_t answers = count(message::terminal_opened);
    open(id, rows, columns);
    serve_until([&] { return count(message::terminal_opened) > answers; });
    return opened(id);
  }

  SimulatedUsbDevice* device_ = nullptr;
  StopFlag stop_ = make_stop_flag();
  std::unique_ptr<KvmSession> session_;
};

}  // namespace corvane::test
