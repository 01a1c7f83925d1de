// The one queue type every session queue is made of: order, both ends
// going away, and waiting.
#include "system/channel.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/simulated_clock.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

TEST(Channel, DeliversInOrderAndReportsClosedOnlyAfterTheLastMessage) {
  auto channel = make_channel<int>();
  {
    auto second_sender = channel.sender;
    EXPECT_TRUE(channel.sender.send(1));
    EXPECT_TRUE(second_sender.send(2));
    Sender<int> gone = std::move(channel.sender);
  }
  auto first = channel.receiver.try_receive();
  ASSERT_EQ(first.status, ReceiveStatus::message);
  EXPECT_EQ(*first.message, 1);
  EXPECT_EQ(*channel.receiver.try_receive().message, 2);
  EXPECT_EQ(channel.receiver.try_receive().status, ReceiveStatus::closed);
}

TEST(Channel, AnyLiveSenderKeepsItOpen) {
  auto channel = make_channel<int>();
  auto copy = channel.sender;
  { Sender<int> dropped = std::move(channel.sender); }
  EXPECT_EQ(channel.receiver.try_receive().status, ReceiveStatus::empty);
  copy = make_channel<int>().sender;  // the last sender of the first channel goes
  EXPECT_EQ(channel.receiver.try_receive().status, ReceiveStatus::closed);
}

TEST(Channel, AWeakSenderDeliversButDoesNotKeepItOpen) {
  auto channel = make_channel<int>();
  auto weak = channel.receiver.weak_sender();
  EXPECT_TRUE(weak.send(1));
  { Sender<int> dropped = std::move(channel.sender); }
  EXPECT_EQ(*channel.receiver.try_receive().message, 1);
  EXPECT_EQ(channel.receiver.try_receive().status, ReceiveStatus::closed);
  { Receiver<int> gone = std::move(channel.receiver); }
  EXPECT_FALSE(weak.send(2));
}

TEST(Channel, SendingToAGoneReceiverFailsAndDropsTheMessage) {
  auto channel = make_channel<std::shared_ptr<int>>();
  auto payload = std::make_shared<int>(7);
  ASSERT_TRUE(channel.sender.send(payload));
  { auto receiver = std::move(channel.receiver); }
  EXPECT_FALSE(channel.sender.send(payload));
  // Neither the queued nor the refused message is kept alive.
  EXPECT_EQ(payload.use_count(), 1);
}

TEST(Channel, AnEmptyWaitEndsAtItsDeadline) {
  test::SimulatedClock clock;
  auto channel = make_channel<int>();
  EXPECT_EQ(channel.receiver.receive(50ms, clock).status, ReceiveStatus::empty);
  EXPECT_EQ(clock.elapsed(), 50ms);
}

TEST(Channel, AWaitingReceiverWakesForAMessageAndForTheLastSenderLeaving) {
  auto channel = make_channel<std::string>();
  std::thread producer([sender = channel.sender]() mutable {
    sender.send("hello");
    Sender<std::string> last = std::move(sender);
  });
  { Sender<std::string> own = std::move(channel.sender); }
  auto first = channel.receiver.receive(std::chrono::hours(1));
  EXPECT_EQ(first.message, "hello");
  EXPECT_EQ(channel.receiver.receive(std::chrono::hours(1)).status, ReceiveStatus::closed);
  producer.join();
}

}  // namespace
}  // namespace corvane
