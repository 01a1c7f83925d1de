#pragma once
// The keystrokes on their way to one shell. Bounded so that a shell that
// stops reading cannot make the service hold the KVM's input without end;
// the hub never waits on it.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "system/channel.hpp"

namespace corvane {

inline constexpr size_t terminal_input_limit = 256;

using TerminalInputBytes = std::vector<uint8_t>;

class InputSender {
 public:
  enum class Offer { taken, full, closed };

  InputSender(Sender<TerminalInputBytes> sender, std::shared_ptr<std::atomic<size_t>> waiting)
      : sender_(std::move(sender)), waiting_(std::move(waiting)) {}

  // Only one producer (the hub), so the check and the count cannot race
  // with another offer.
  Offer offer(TerminalInputBytes bytes) {
    if (waiting_->load() >= terminal_input_limit) return Offer::full;
    ++*waiting_;
    if (sender_.send(std::move(bytes))) return Offer::taken;
    --*waiting_;
    return Offer::closed;
  }

 private:
  Sender<TerminalInputBytes> sender_;
  std::shared_ptr<std::atomic<size_t>> waiting_;
};

class InputReceiver {
 public:
  InputReceiver(Receiver<TerminalInputBytes> receiver, std::shared_ptr<std::atomic<size_t>> waiting)
      : receiver_(std::move(receiver)), waiting_(std::move(waiting)) {}

  // Blocks for the next input; false once the sender is gone and nothing
  // is left.
  bool take(TerminalInputBytes& bytes) {
    for (;;) {
      auto received = receiver_.receive(std::chrono::hours(1));
      if (received.status == ReceiveStatus::closed) return false;
      if (received.status == ReceiveStatus::empty) continue;
      --*waiting_;
      bytes = std::move(*received.message);
      return true;
    }
  }

 private:
  Receiver<TerminalInputBytes> receiver_;
  std::shared_ptr<std::atomic<size_t>> waiting_;
};

struct InputQueue {
  InputSender sender;
  InputReceiver receiver;
};

inline InputQueue make_input_queue() {
  auto channel = make_channel<TerminalInputBytes>();
  auto waiting = std::make_shared<std::atomic<size_t>>(0);
  return {InputSender(std::move(channel.sender), waiting),
          InputReceiver(std::move(channel.receiver), waiting)};
}

}  // namespace corvane
