// The whole cycle against the simulated KVM: serving, ending normally on a
// stop, unplugging and reconnecting, and stops during the error pause.
#include "session/run_loop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "kvm_fixture.hpp"
#include "stand_in.hpp"
#include "session/encode.hpp"
#include "support/simulated_clock.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

// Simulated time whose first sleep also asks the service to stop, as a
// signal arriving during a pause would.
class StopOnSleepClock final : public Clock {
 public:
  explicit StopOnSleepClock(StopFlag stop) : stop_(std::move(stop)) {}
  time_point now() override { return inner_.now(); }
  void sleep_for(duration length) override {
    ++sleeps;
    stop_->store(true);
    inner_.sleep_for(length);
  }
  void wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
                  time_point deadline) override {
    inner_.wait_until(lock, condition, deadline);
  }
  duration elapsed() const { return inner_.elapsed(); }
  int sleeps = 0;

 private:
  StopFlag stop_;
  test::SimulatedClock inner_;
};

class RunLoopTest : public testing::Test, protected test::KvmFixture {
 protected:
  void start(Clock& wait_clock = steady_clock()) {
    loop = std::thread([this, &wait_clock] {
      run_loop(stop, environment(wait_clock));
    });
  }
  RunLoopEnvironment environment(Clock& wait_clock) {
    return {host, steady_clock(), wait_clock, services(),
            [this] { return candidate_snapshot(host); }, root.path()};
  }
  void finish() {
    stop->store(true);
    if (loop.joinable()) loop.join();
  }
  ~RunLoopTest() override { finish(); }

  static constexpr const char* start_lines =
      "corvane 0.4.5 running\n"
      "corvane: this installation cannot update itself from the KVM\n";

  static test::Bytes clipboard_state_payload(const std::vector<test::KvmFrame>& frames) {
    for (const auto& frame : frames) {
      if (frame.id() == message::clipboard_state) return frame.payload;
    }
    return {};
  }

  test::TempDir root;
  StopFlag stop = make_stop_flag();
  std::thread loop;
};

TEST_F(RunLoopTest, AStopBeforeTheStartEndsItWithoutTouchingUsb) {
  auto& device = plug_approved();
  stop->store(true);
  run_loop(stop, environment(steady_clock()));
  EXPECT_EQ(log.text(), start_lines);
  EXPECT_EQ(device.times_opened(), 0);
}

TEST_F(RunLoopTest, ServesTheKvmInOrderAndClosesTheSessionOnAStop) {
  auto& device = plug_approved();
  start();
  ASSERT_TRUE(test::eventually([&] { return received(device, message::session_info); }));
  finish();
  auto frames = device.received();
  auto sent = ids(frames);
  std::vector<MessageId> after_handshake(
      std::find(sent.begin(), sent.end(), message::clipboard_state), sent.end());
  std::vector<MessageId> expected{message::clipboard_state, message::terminal_state,
                                  message::file_state, message::session_info,
                                  message::session_close};
  EXPECT_EQ(after_handshake, expected);
  EXPECT_EQ(clipboard_state_payload(frames), encode_clipboard_state(true).payload);
  EXPECT_EQ(frames.back().payload, test::Bytes{0});
  EXPECT_FALSE(device.is_open());
  auto text = log.text();
  ASSERT_TRUE(text.starts_with(std::string(start_lines) + "startup phase=usb_ready elapsed_ms="))
      << text;
  EXPECT_EQ(log.count("\n"), 3u) << text;
}

TEST_F(RunLoopTest, ADesktopWithoutAClipboardIsAnnouncedWithoutItsFlags) {
  clipboard.with_state([](auto& state) { state.openable = false; });
  auto& device = plug_approved();
  start();
  ASSERT_TRUE(test::eventually([&] { return received(device, message::session_info); }));
  finish();
  // Flags 0, value 3.
  EXPECT_EQ(clipboard_state_payload(device.received()), (test::Bytes{0, 0, 0, 0, 3, 0, 0, 0}));
  EXPECT_EQ(log.count("corvane: clipboard unavailable: "), 1u);
}

TEST_F(RunLoopTest, AnUnpluggedKvmIsReportedAndConnectedAgainWithAFreshResetAndHandshake) {
  auto& first = plug_approved(2);
  test::YieldingClock clock;
  start(clock);
  ASSERT_TRUE(test::eventually([&] { return received(first, message::session_info); }));
  first.unplug();
  ASSERT_TRUE(log.wait_for("corvane: "));
  ASSERT_TRUE(test::eventually([&] { return !first.is_open(); }));
  // Re-plugged: the bus gives it a new address.
  auto& second = plug_approved(3);
  ASSERT_TRUE(test::eventually([&] { return received(second, message::session_info); }));
  int second_resets = 0;
  second.with_kvm([&](test::SimulatedKvm& kvm) { second_resets = kvm.resets(); });
  EXPECT_EQ(second_resets, 1);
  EXPECT_TRUE(received(second, message::session_hello));
  EXPECT_FALSE(received(first, message::session_close));
  EXPECT_EQ(log.count("startup phase=usb_ready"), 2u);
  // The read error was followed by the error pause.
  EXPECT_GE(clock.elapsed(), 2s);
}

TEST_F(RunLoopTest, AStopDuringTheErrorPauseEndsItAtOnce) {
  StopOnSleepClock clock(stop);
  run_loop(stop, environment(clock));
  EXPECT_EQ(log.text(), std::string(start_lines) + "corvane: no Corvane USB interface found\n");
  EXPECT_EQ(clock.sleeps, 1);
  EXPECT_LE(clock.elapsed(), 50ms);
}

TEST_F(RunLoopTest, WithoutAKvmTheErrorRepeatsAfterTwoSecondPauses) {
  test::SimulatedClock clock;
  start(clock);
  ASSERT_TRUE(test::eventually([&] { return log.count("no Corvane USB interface found") >= 3; }));
  finish();
  auto attempts = log.count("no Corvane USB interface found");
  EXPECT_GE(clock.elapsed(), (attempts - 1) * 2s);
  EXPECT_LE(clock.elapsed(), attempts * 2s);
}

TEST_F(RunLoopTest, AKvmAllowedInTheDialogIsServedAtTheNextAttempt) {
  test::StandIns programs;
  programs.add("zenity", "exit 0");
  auto& device = host.plug();
  test::YieldingClock clock;
  start(clock);
  ASSERT_TRUE(test::eventually([&] { return received(device, message::session_info); }));
  finish();
  EXPECT_EQ(programs.calls("zenity"), 1u);
  EXPECT_EQ(log.count("corvane: approved the KVM "), 1u);
  // The refused attempt told the KVM why it was closed.
  auto frames = device.received();
  EXPECT_TRUE(std::any_of(frames.begin(), frames.end(), [](const test::KvmFrame& frame) {
    return frame.id() == message::session_close && frame.payload == test::Bytes{3};
  }));
}

TEST_F(RunLoopTest, ARefusedDeviceLeadsToTheUsbAccessQuestion) {
  test::StandIns programs;
  programs.add("zenity", "exit 1");
  ::setenv("APPIMAGE", "/opt/corvane.AppImage", 1);
  host.plug().refuse_open_for_permission();
  test::YieldingClock clock;
  start(clock);
  ASSERT_TRUE(log.wait_for("corvane: USB access not allowed; to allow it, run: sudo "
                           "/opt/corvane.AppImage --install-linux-access\n"));
  ASSERT_TRUE(test::eventually([&] { return log.count("permission denied opening") >= 3; }));
  finish();
  // Declined once: not asked again for the same KVM.
  EXPECT_EQ(programs.calls("zenity"), 1u);
}

}  // namespace
}  // namespace corvane
