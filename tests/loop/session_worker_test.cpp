// The session worker against a sink that records what it sends and fails
// when told to: order, the failure routine, the tick rhythm, session close.
#include "session/session_worker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <thread>

#include "session/catalogue.hpp"
#include "session/encode.hpp"
#include "stderr_capture.hpp"

namespace corvane {
namespace {

// What the KVM got, with the ticks in between written as "tick".
class RecordingSink final : public MessageSink {
 public:
  CancelFlag cancel_flag() const override { return cancel_; }
  bool is_cancelled() const override { return cancel_->load(); }
  Result<> send_control(const ControlMessage& message) override {
    std::lock_guard lock(mutex_);
    if (fail_with_) return fail(*fail_with_ + " #" + std::to_string(++failures_));
    log_.push_back(std::string(message.payload.begin(), message.payload.end()));
    return {};
  }
  Result<> send_access_unit(const AccessUnitInfo&, std::span<const uint8_t>) override {
    return fail("no video here");
  }

  void tick() {
    std::lock_guard lock(mutex_);
    log_.push_back("tick");
  }
  void fail_sends(std::string text) {
    std::lock_guard lock(mutex_);
    fail_with_ = std::move(text);
  }
  void succeed_sends() {
    std::lock_guard lock(mutex_);
    fail_with_.reset();
  }
  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

  CancelFlag cancel_ = std::make_shared<std::atomic<bool>>(false);

 private:
  std::mutex mutex_;
  std::optional<std::string> fail_with_;
  int failures_ = 0;
  std::vector<std::string> log_;
};

ControlMessage text_message(const std::string& text) {
  return {message::terminal_output, {text.begin(), text.end()}};
}

class SessionWorkerTest : public testing::Test {
 protected:
  // Queues the commands first, so that the worker finds them all waiting.
  void run_with(std::deque<OutboundCommand> commands) {
    auto channel = make_channel<OutboundCommand>();
    for (auto& command : commands) channel.sender.send(std::move(command));
    SessionWorker worker{std::move(channel.receiver), sink, failure, in_flight,
                         [this] { sink->tick(); }};
    thread = std::thread([worker = std::move(worker)]() mutable {
      run_session_worker(std::move(worker));
    });
    sender.emplace(std::move(channel.sender));
  }
  void finish() {
    sender.reset();
    thread.join();
  }
  static OutboundCommand message(const std::string& text, size_t output_bytes = 0) {
    return service_message(text_message(text), output_bytes);
  }
  static OutboundCommand state(const std::string& text) { return ServiceState{text_message(text)}; }

  test::StderrCapture log;
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  std::shared_ptr<FailureSlot> failure = std::make_shared<FailureSlot>();
  InFlightCounter in_flight = std::make_shared<std::atomic<uint64_t>>(0);
  std::optional<Sender<OutboundCommand>> sender;
  std::thread thread;
};

TEST_F(SessionWorkerTest, SendsInQueueOrderAndTicksAfterEveryEighthServiceMessage) {
  std::deque<OutboundCommand> commands;
  commands.emplace_back(state("s"));
  for (int i = 1; i <= 9; ++i) commands.emplace_back(message(std::to_string(i)));
  commands.emplace_back(SessionClose{});
  run_with(std::move(commands));
  thread.join();
  auto sent = sink->log();
  std::vector<std::string> expected{"s", "1", "2", "3", "4", "5", "6", "7", "8", "tick", "9",
                                    std::string(1, '\0')};
  EXPECT_EQ(sent, expected);
}

TEST_F(SessionWorkerTest, TicksWhileIdleAndLeavesWhenTheQueueLosesItsProducers) {
  run_with({});
  ASSERT_TRUE(test::eventually([&] { return sink->log().size() >= 2; }));
  finish();
  for (const auto& entry : sink->log()) EXPECT_EQ(entry, "tick");
}

TEST_F(SessionWorkerTest, OnlyTheFirstFailureIsLoggedAndStoredAndMessagesAreThenDropped) {
  in_flight->store(8);  // as the hub counted the two outputs
  sink->fail_sends("pipe broke");
  run_with({message("a", 3), state("b")});
  ASSERT_TRUE(test::eventually([&] { return failure->stored().has_value(); }));
  sink->succeed_sends();
  sender->send(message("dropped", 5));
  sender->send(state("still sent"));
  sender->send(service_message(fail("too long")));
  sender->send(SessionClose{});
  thread.join();
  EXPECT_EQ(failure->stored(), "pipe broke #1");
  EXPECT_EQ(log.count("USB writer failed: "), 1u);
  EXPECT_NE(log.text().find("USB writer failed: pipe broke #1\n"), std::string::npos);
  auto sent = sink->log();
  EXPECT_EQ(std::ranges::count(sent, "dropped"), 0);
  EXPECT_EQ(std::ranges::count(sent, "still sent"), 1);
  // Dropped terminal output still leaves the in-flight count.
  EXPECT_EQ(in_flight->load(), 0u);
}

TEST_F(SessionWorkerTest, AMessageThatFailedItsChecksIsAFailedSend) {
  run_with({service_message(fail("terminal output too long")), SessionClose{}});
  thread.join();
  EXPECT_EQ(failure->stored(), "terminal output too long");
  EXPECT_EQ(log.text(), "USB writer failed: terminal output too long\n");
}

TEST_F(SessionWorkerTest, AFailedCloseIsLoggedAndTheWorkerStillLeaves) {
  sink->fail_sends("gone");
  run_with({SessionClose{}});
  thread.join();
  EXPECT_EQ(log.text(), "corvane: could not close session cleanly: gone #1\n");
}

TEST_F(SessionWorkerTest, LeavesOnceTheConnectionIsCancelled) {
  run_with({});
  sink->cancel_->store(true);
  thread.join();  // with the sender still alive
  sender.reset();
}

}  // namespace
}  // namespace corvane
