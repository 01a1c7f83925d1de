// The hub's handling of the KVM's clipboard messages, with the worker on a
// stand-in clipboard: switched off at the start of every session, answers
// in order, and the rest of the traffic still reaching the run loop.
#include <gtest/gtest.h>

#include "services/service_hub.hpp"
#include "session/encode.hpp"
#include "stderr_capture.hpp"
#include "support/simulated_clock.hpp"
#include "support/stand_in_clipboard.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

class ClipboardHubTest : public testing::Test {
 protected:
  ClipboardHubTest() {
    auto inbound = make_channel<InboundMessage>();
    to_hub.emplace(std::move(inbound.sender));
    SessionServices services{
        .display_names = [] { return std::vector<std::string>{}; },
        .clipboard = std::make_shared<ClipboardWorkerHandle>(clipboard.opener()),
        .file_destination_available = [] { return false; },
    };
    hub.emplace(std::move(inbound.receiver), SessionSettings{}, stop, staged, services,
                std::make_shared<std::atomic<uint64_t>>(0), clock);
    // The first pump announces the displays; the tests look at what follows.
    pump();
    sent();
  }

  void post(KvmEvent event) { to_hub->send(std::move(event)); }
  void pump() { ASSERT_TRUE(hub->pump(outbound.sender, 0ns)); }

  std::vector<ControlMessage> sent() {
    std::vector<ControlMessage> messages;
    for (;;) {
      auto received = outbound.receiver.try_receive();
      if (received.status != ReceiveStatus::message) return messages;
      if (auto* message = std::get_if<ServiceMessage>(&*received.message)) {
        messages.push_back(message->message);
      }
    }
  }

  static ControlMessage data(uint32_t id, uint8_t status, std::string_view text = "") {
    return *encode_clipboard_data(id, status, false, text);
  }

  test::StderrCapture log;
  test::StandInClipboard clipboard;
  test::SimulatedClock clock;
  StopFlag stop = make_stop_flag();
  std::shared_ptr<StagedSlot> staged = std::make_shared<StagedSlot>();
  Channel<OutboundCommand> outbound = make_channel<OutboundCommand>();
  std::optional<Sender<InboundMessage>> to_hub;
  std::optional<ServiceHub> hub;
};

TEST_F(ClipboardHubTest, EverySessionStartsSwitchedOff) {
  clipboard.set_text("desktop text");
  post(ClipboardGet{7});
  post(ClipboardSet{8, "from the KVM"});
  pump();
  EXPECT_EQ(sent(), (std::vector<ControlMessage>{data(7, clipboard_status::unavailable),
                                                 encode_clipboard_result(8, 1)}));
  // Nothing reached the desktop; the worker was not even asked.
  EXPECT_EQ(clipboard.text(), "desktop text");
  EXPECT_EQ(clipboard.opens(), 0);
}

TEST_F(ClipboardHubTest, SwitchedOnRequestsAreAnsweredByTheWorkerInOrder) {
  post(ClipboardConfig{true});
  post(ClipboardGet{1});
  post(ClipboardSet{2, "héllo"});
  post(ClipboardGet{3});
  post(ClipboardConfig{false});
  post(ClipboardSet{4, "late"});
  pump();
  EXPECT_EQ(sent(), (std::vector<ControlMessage>{
                        data(1, clipboard_status::no_text), encode_clipboard_result(2, 0),
                        data(3, clipboard_status::done, "héllo"), encode_clipboard_result(4, 1)}));
  EXPECT_EQ(clipboard.text(), "héllo");
  EXPECT_TRUE(hub->run_loop_queue_empty());
}

TEST_F(ClipboardHubTest, AVideoConfigBetweenClipboardMessagesGoesToTheRunLoopInOrder) {
  clipboard.set_text("x");
  post(ClipboardConfig{true});
  post(ClipboardGet{1});
  post(VideoConfig{.enabled = true, .width = 1280});
  post(ClipboardGet{2});
  post(KeyframeRequest{});
  pump();
  EXPECT_EQ(sent(), (std::vector<ControlMessage>{data(1, clipboard_status::done, "x"),
                                                 data(2, clipboard_status::done, "x")}));
  EXPECT_EQ(hub->take_run_loop_message(), KvmEvent(VideoConfig{.enabled = true, .width = 1280}));
  EXPECT_EQ(hub->take_run_loop_message(), KvmEvent(KeyframeRequest{}));
  EXPECT_TRUE(hub->run_loop_queue_empty());
}

TEST_F(ClipboardHubTest, AnUnansweredRequestIsReportedAsFailed) {
  clipboard.set_text("x");
  post(ClipboardConfig{true});
  post(ClipboardGet{1});
  pump();
  sent();
  clipboard.with_state([](auto& state) { state.reads_hang = true; });
  post(ClipboardGet{2});
  pump();
  EXPECT_EQ(sent(), std::vector<ControlMessage>{data(2, clipboard_status::failed)});
  EXPECT_EQ(log.text(), "corvane: clipboard worker did not answer; replacing it\n");
  clipboard.release_reads();
}

}  // namespace
}  // namespace corvane
