// The hub's own view of the terminals: what one pump puts into the
// outbound queue when terminals are switched off.
#include <gtest/gtest.h>

#include <cstdlib>

#include "kvm_fixture.hpp"
#include "services/service_hub.hpp"
#include "session/encode.hpp"
#include "support/temp_dir.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

class TerminalHubTest : public testing::Test, protected test::KvmFixture {
 protected:
  TerminalHubTest() {
    ::setenv("SHELL", "/bin/sh", 1);
    SessionSettings settings;
    settings.terminal_enabled = true;
    auto inbound = make_channel<InboundMessage>();
    to_hub.emplace(std::move(inbound.sender));
    hub.emplace(std::move(inbound.receiver), settings, make_stop_flag(),
                std::make_shared<StagedSlot>(), services(), in_flight);
  }

  // One pump; the terminal messages it put into the outbound queue, as
  // the worker would send them.
  std::vector<ControlMessage> pump() {
    EXPECT_TRUE(hub->pump(outbound.sender, 10ms));
    std::vector<ControlMessage> messages;
    for (;;) {
      auto received = outbound.receiver.try_receive();
      if (received.status != ReceiveStatus::message) return messages;
      if (auto* state = std::get_if<ServiceState>(&*received.message)) {
        messages.push_back(state->message);
      } else if (auto* sent = std::get_if<ServiceMessage>(&*received.message)) {
        *in_flight -= sent->terminal_output_bytes;
        if (sent->message.channel == message::terminal_state.channel) {
          messages.push_back(sent->message);
        }
      }
    }
  }

  InFlightCounter in_flight = std::make_shared<std::atomic<uint64_t>>(0);
  Channel<OutboundCommand> outbound = make_channel<OutboundCommand>();
  std::optional<Sender<InboundMessage>> to_hub;
  std::optional<ServiceHub> hub;
};

TEST_F(TerminalHubTest, SwitchingOffClosesEveryTerminalBeforeTheStateInOneFlush) {
  to_hub->send(KvmEvent(TerminalOpen{1, 24, 80}));
  to_hub->send(KvmEvent(TerminalOpen{2, 24, 80}));
  std::vector<ControlMessage> answers;
  for (int i = 0; i < 6000 && answers.size() < 2; ++i) {
    for (auto& message : pump()) {
      if (message.id() == message::terminal_opened) answers.push_back(message);
    }
  }
  ASSERT_EQ(answers, (std::vector<ControlMessage>{encode_terminal_opened(1, 0),
                                                  encode_terminal_opened(2, 0)}));

  to_hub->send(KvmEvent(SessionConfig{R"({"terminal_enabled":false,"files_enabled":false})"}));
  for (int i = 0; i < 6000; ++i) {
    auto flushed = pump();
    std::erase_if(flushed,
                  [](const ControlMessage& m) { return m.id() == message::terminal_output; });
    if (flushed.empty()) continue;
    EXPECT_EQ(flushed, (std::vector<ControlMessage>{encode_terminal_closed(1, 1),
                                                    encode_terminal_closed(2, 1),
                                                    encode_terminal_state(false)}));
    return;
  }
  FAIL() << "terminals were not switched off";
}

}  // namespace
}  // namespace corvane
