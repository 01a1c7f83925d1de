// One served session against the simulated KVM: what ends it, and that
// the teardown leaves nothing of it behind.
#include "session/kvm_session.hpp"

#include <gtest/gtest.h>

#include "kvm_fixture.hpp"
#include "session/encode.hpp"

namespace corvane {
namespace {

using Kind = WaitOutcome::Kind;

class KvmSessionTest : public testing::Test, protected test::KvmFixture {
 protected:
  std::unique_ptr<KvmSession> start() {
    auto connected = connect(host, *store_path(), steady_clock());
    EXPECT_TRUE(connected);
    if (!connected) return nullptr;
    return std::make_unique<KvmSession>(std::move(*connected), stop, services());
  }

  // Wait steps until one ends the session or brings a message.
  static WaitOutcome step_until_something(KvmSession& session) {
    for (;;) {
      auto outcome = session.wait_step();
      if (outcome.kind != Kind::go_on || outcome.message) return outcome;
    }
  }

  static void expect_released(test::SimulatedUsbDevice& device) {
    EXPECT_FALSE(device.is_open());
    EXPECT_FALSE(device.is_claimed());
    EXPECT_EQ(device.outstanding_transfers(), 0u);
  }

  StopFlag stop = make_stop_flag();
};

TEST_F(KvmSessionTest, MessagesTheHubDoesNotHandleReachTheCaller) {
  auto& device = plug_approved();
  auto session = start();
  ASSERT_TRUE(session);
  device.with_kvm(
      [&](test::SimulatedKvm& kvm) { kvm.send_frame(message::video_request_keyframe, {}); });
  auto outcome = step_until_something(*session);
  ASSERT_EQ(outcome.kind, Kind::go_on);
  ASSERT_TRUE(outcome.message);
  EXPECT_TRUE(std::holds_alternative<KeyframeRequest>(*outcome.message));
}

TEST_F(KvmSessionTest, AStopEndsItNormallyWithSessionCloseAsTheLastMessage) {
  auto& device = plug_approved();
  auto session = start();
  ASSERT_TRUE(session);
  session->outbound().send(ServiceState{encode_terminal_state(true)});
  stop->store(true);
  EXPECT_EQ(session->wait_step().kind, Kind::end_normally);
  session->end_normally();
  session->teardown();
  auto frames = device.received();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().id(), message::session_close);
  EXPECT_EQ(frames.back().payload, test::Bytes{0});
  EXPECT_TRUE(received(device, message::terminal_state));
  session.reset();
  expect_released(device);
}

TEST_F(KvmSessionTest, AStoredWorkerFailureEndsItWithThatTextAndNoClose) {
  auto& device = plug_approved();
  auto session = start();
  ASSERT_TRUE(session);
  session->outbound().send(service_message(fail("clipboard text too long")));
  session->outbound().send(service_message(fail("second failure")));
  auto outcome = step_until_something(*session);
  EXPECT_EQ(outcome.kind, Kind::end_with_error);
  EXPECT_EQ(outcome.error, "clipboard text too long");
  session.reset();
  EXPECT_FALSE(received(device, message::session_close));
  expect_released(device);
  EXPECT_EQ(log.count("USB writer failed: "), 1u);
}

TEST_F(KvmSessionTest, AMalformedMessageEndsItWithTheDecodeError) {
  auto& device = plug_approved();
  auto session = start();
  ASSERT_TRUE(session);
  test::Bytes short_config(3, 0);
  device.with_kvm(
      [&](test::SimulatedKvm& kvm) { kvm.send_frame(message::video_config, short_config); });
  auto outcome = step_until_something(*session);
  EXPECT_EQ(outcome.kind, Kind::end_with_error);
  EXPECT_EQ(outcome.error, "invalid video.config payload length: 3");
}

TEST_F(KvmSessionTest, UnpluggingEndsItWithTheReadError) {
  auto& device = plug_approved();
  auto session = start();
  ASSERT_TRUE(session);
  device.unplug();
  auto outcome = step_until_something(*session);
  EXPECT_EQ(outcome.kind, Kind::end_with_error);
  EXPECT_FALSE(outcome.error.empty());
  session.reset();
  expect_released(device);
}

}  // namespace
}  // namespace corvane
