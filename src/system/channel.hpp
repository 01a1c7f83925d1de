#pragma once
// A queue with explicit ends: any number of senders, one receiver. Both
// ends can see the other side go away: the receiver learns that no sender
// is left (after the queued messages are taken), a sender learns that the
// receiver is gone (its message is then discarded). Sending never blocks.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "system/clock.hpp"

namespace corvane {

namespace channel_detail {

template <class T>
struct Shared {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<T> messages;
  size_t senders = 0;
  bool receiver_alive = true;
};

}  // namespace channel_detail

enum class ReceiveStatus { message, empty, closed };

template <class T>
struct Received {
  ReceiveStatus status = ReceiveStatus::empty;
  std::optional<T> message;
};

template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<channel_detail::Shared<T>> shared) : shared_(std::move(shared)) {
    std::lock_guard lock(shared_->mutex);
    ++shared_->senders;
  }
  Sender(const Sender& other) : Sender(other.shared_) {}
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(shared_, other.shared_);
    return *this;
  }
  ~Sender() { release(); }

  // false when the receiver is gone; the message is then dropped. The
  // message is built in place in the queue from what is given.
  template <class U>
  bool send(U&& message) const {
    {
      std::lock_guard lock(shared_->mutex);
      if (!shared_->receiver_alive) return false;
      shared_->messages.emplace_back(std::forward<U>(message));
    }
    shared_->arrived.notify_one();
    return true;
  }

 private:
  void release() {
    if (!shared_) return;
    bool last = false;
    {
      std::lock_guard lock(shared_->mutex);
      last = --shared_->senders == 0;
    }
    if (last) shared_->arrived.notify_all();
    shared_.reset();
  }

  std::shared_ptr<channel_detail::Shared<T>> shared_;
};

// A sender that does not keep the queue open: the receiver still sees
// "closed" once every Sender is gone. For producers that only ever nudge
// the receiver and must not outlive its other producers' end.
template <class T>
class WeakSender {
 public:
  explicit WeakSender(std::weak_ptr<channel_detail::Shared<T>> shared)
      : shared_(std::move(shared)) {}

  // false when the receiver is gone; the message is then dropped.
  template <class U>
  bool send(U&& message) const {
    auto shared = shared_.lock();
    if (!shared) return false;
    {
      std::lock_guard lock(shared->mutex);
      if (!shared->receiver_alive) return false;
      shared->messages.emplace_back(std::forward<U>(message));
    }
    shared->arrived.notify_one();
    return true;
  }

 private:
  std::weak_ptr<channel_detail::Shared<T>> shared_;
};

template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<channel_detail::Shared<T>> shared)
      : shared_(std::move(shared)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    close();
    shared_ = std::move(other.shared_);
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { close(); }

  // Waits at most timeout for a message. Queued messages are delivered
  // before closed is reported.
  Received<T> receive(std::chrono::nanoseconds timeout, Clock& clock = steady_clock()) {
    const auto deadline = clock.now() + std::chrono::duration_cast<Clock::duration>(timeout);
    std::unique_lock lock(shared_->mutex);
    for (;;) {
      if (!shared_->messages.empty()) {
        Received<T> received{ReceiveStatus::message, std::move(shared_->messages.front())};
        shared_->messages.pop_front();
        return received;
      }
      if (shared_->senders == 0) return {ReceiveStatus::closed, std::nullopt};
      if (clock.now() >= deadline) return {ReceiveStatus::empty, std::nullopt};
      clock.wait_until(lock, shared_->arrived, deadline);
    }
  }

  Received<T> try_receive() { return receive(std::chrono::nanoseconds::zero()); }

  WeakSender<T> weak_sender() const { return WeakSender<T>(shared_); }

 private:
  void close() {
    if (!shared_) return;
    std::deque<T> dropped;
    {
      std::lock_guard lock(shared_->mutex);
      shared_->receiver_alive = false;
      dropped.swap(shared_->messages);
    }
    shared_.reset();
  }

  std::shared_ptr<channel_detail::Shared<T>> shared_;
};

template <class T>
struct Channel {
  Sender<T> sender;
  Receiver<T> receiver;
};

template <class T>
Channel<T> make_channel() {
  auto shared = std::make_shared<channel_detail::Shared<T>>();
  return {Sender<T>(shared), Receiver<T>(shared)};
}

}  // namespace corvane
