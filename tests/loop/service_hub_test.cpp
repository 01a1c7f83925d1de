// The hub in simulated time: the display announcement's rhythm, the
// receive phase, session.config, the reader's end and the wake callback.
#include "services/service_hub.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "session/catalogue.hpp"
#include "session/encode.hpp"
#include "support/simulated_clock.hpp"
#include "support/stand_in_clipboard.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

class ServiceHubTest : public testing::Test {
 protected:
  ServiceHubTest() {
    settings.terminal_enabled = true;
    settings.capture_display = "card0-DP-1";
    auto inbound = make_channel<InboundMessage>();
    to_hub.emplace(std::move(inbound.sender));
    SessionServices services{
        .display_names = [this] { return displays; },
        .clipboard = std::make_shared<ClipboardWorkerHandle>(clipboard.opener()),
        .file_destination_available = [this] { return destination; },
    };
    hub.emplace(std::move(inbound.receiver), settings, stop, staged, services, in_flight, clock);
  }

  // Everything the hub put into the outbound queue so far.
  std::vector<ControlMessage> sent() {
    std::vector<ControlMessage> messages;
    for (;;) {
      auto received = outbound.receiver.try_receive();
      if (received.status != ReceiveStatus::message) return messages;
      std::visit(
          [&](auto& command) {
            if constexpr (std::is_same_v<std::decay_t<decltype(command)>, ServiceState>) {
              messages.push_back(command.message);
            } else if constexpr (std::is_same_v<std::decay_t<decltype(command)>,
                                                ServiceMessage>) {
              messages.push_back(command.message);
            }
          },
          *received.message);
    }
  }
  void post(KvmEvent event) { to_hub->send(std::move(event)); }
  void config(const std::string& json) { post(SessionConfig{json}); }

  SessionSettings settings;
  test::SimulatedClock clock;
  test::StandInClipboard clipboard;
  StopFlag stop = make_stop_flag();
  std::shared_ptr<StagedSlot> staged = std::make_shared<StagedSlot>();
  InFlightCounter in_flight = std::make_shared<std::atomic<uint64_t>>(0);
  std::vector<std::string> displays{"card0-HDMI-A-1", "card1-DP-2"};
  bool destination = true;
  Channel<OutboundCommand> outbound = make_channel<OutboundCommand>();
  std::optional<Sender<InboundMessage>> to_hub;
  std::optional<ServiceHub> hub;
};

TEST_F(ServiceHubTest, AnnouncesTheDisplaysAtOnceAndThenEveryFiveSeconds) {
  post(VideoConfig{});
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  auto first = sent();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], encode_session_info(displays));
  EXPECT_FALSE(hub->run_loop_queue_empty());

  clock.advance(4900ms);
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  EXPECT_TRUE(sent().empty());
  clock.advance(100ms);
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  EXPECT_EQ(sent().size(), 1u);
}

TEST_F(ServiceHubTest, AnnouncesAtMostSixtyFourDisplays) {
  displays.clear();
  for (int i = 0; i < 70; ++i) displays.push_back("card0-DP-" + std::to_string(i));
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  std::vector<std::string> first_64(displays.begin(), displays.begin() + 64);
  EXPECT_EQ(sent().at(0), encode_session_info(first_64));
}

TEST_F(ServiceHubTest, HandlesABurstWithoutWaitingAndKeepsArrivalOrderForTheRunLoop) {
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  post(VideoConfig{.enabled = true});
  post(VideoConfig{.width = 640});
  post(KeyframeRequest{});
  const auto before = clock.elapsed();
  ASSERT_TRUE(hub->pump(outbound.sender, 50ms));
  EXPECT_EQ(clock.elapsed(), before);
  EXPECT_EQ(hub->take_run_loop_message(), KvmEvent(VideoConfig{.enabled = true}));
  EXPECT_EQ(hub->take_run_loop_message(), KvmEvent(VideoConfig{.width = 640}));
  EXPECT_EQ(hub->take_run_loop_message(), KvmEvent(KeyframeRequest{}));
  EXPECT_TRUE(hub->run_loop_queue_empty());
}

TEST_F(ServiceHubTest, AQuietPumpReturnsAfterItsTimeout) {
  ASSERT_TRUE(hub->pump(outbound.sender, 50ms));
  EXPECT_EQ(clock.elapsed(), 50ms);
}

TEST_F(ServiceHubTest, SessionConfigChangesAreAppliedAndAnnounced) {
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  sent();
  struct Case {
    std::string json;
    std::vector<ControlMessage> expected;
  };
  std::vector<Case> cases{
      {R"({"terminal_enabled":true,"files_enabled":false})", {}},
      {R"({"terminal_enabled":false,"files_enabled":true})",
       {encode_file_state(true), encode_terminal_state(false)}},
      {R"({"terminal_enabled":false,"files_enabled":false})", {encode_file_state(false)}},
      {R"({"terminal_enabled":true,"files_enabled":false})", {encode_terminal_state(true)}},
  };
  for (const auto& c : cases) {
    config(c.json);
    ASSERT_TRUE(hub->pump(outbound.sender, 0ns)) << c.json;
    EXPECT_EQ(sent(), c.expected) << c.json;
  }
  EXPECT_TRUE(hub->run_loop_queue_empty());
  EXPECT_EQ(hub->capture_display(), std::nullopt);
}

TEST_F(ServiceHubTest, FilesTurnedOnWithoutAFolderAreReportedUnavailable) {
  destination = false;
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  sent();
  config(R"({"terminal_enabled":true,"files_enabled":true,"capture_display":"card1-DP-2"})");
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  EXPECT_EQ(sent(), std::vector<ControlMessage>{encode_file_state(false)});
  EXPECT_EQ(hub->capture_display(), "card1-DP-2");
  EXPECT_TRUE(hub->files_enabled());
}

TEST_F(ServiceHubTest, AMalformedSessionConfigEndsTheSession) {
  config("{not json");
  EXPECT_FALSE(hub->pump(outbound.sender, 0ns));
}

TEST_F(ServiceHubTest, TheReadersLastWordEndsThePumpWithItsReason) {
  post(VideoConfig{});
  to_hub->send(ReaderStopped{"frame too long"});
  auto pumped = hub->pump(outbound.sender, 50ms);
  ASSERT_FALSE(pumped);
  EXPECT_EQ(pumped.error().message, "frame too long");
}

TEST_F(ServiceHubTest, AClosedInboundQueueEndsThePump) {
  to_hub.reset();
  auto pumped = hub->pump(outbound.sender, 50ms);
  ASSERT_FALSE(pumped);
  EXPECT_EQ(pumped.error().message, "the USB reader stopped");
}

TEST_F(ServiceHubTest, AtMostOneWakeMessageIsOutstanding) {
  auto wake = hub->wake_callback();
  std::thread first(wake);
  std::thread second(wake);
  first.join();
  second.join();
  post(VideoConfig{});
  // The wake message ends the receive phase; what follows waits for the
  // next pump.
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  EXPECT_TRUE(hub->run_loop_queue_empty());
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  EXPECT_FALSE(hub->run_loop_queue_empty());
  // Handled, so the next call posts again.
  wake();
  post(KeyframeRequest{});
  ASSERT_TRUE(hub->pump(outbound.sender, 0ns));
  EXPECT_EQ(hub->take_run_loop_message(), KvmEvent(VideoConfig{}));
  EXPECT_TRUE(hub->run_loop_queue_empty());
}

TEST_F(ServiceHubTest, TheSessionShouldEndOnAStopOrAStagedUpdate) {
  EXPECT_FALSE(hub->session_should_end());
  staged->store({"/tmp/.corvane.update", "0.4.6"});
  EXPECT_TRUE(hub->session_should_end());
  staged->take();
  EXPECT_FALSE(hub->session_should_end());
  stop->store(true);
  EXPECT_TRUE(hub->session_should_end());
}

}  // namespace
}  // namespace corvane
