#pragma once
// Terminal output read from the ptys and not yet taken by the hub. Readers
// stop reading while it is full, so a KVM that grants no credit holds the
// shells back instead of the service's memory growing.
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace corvane {

inline constexpr uint64_t terminal_backlog_limit = 262144;

class Backlog {
 public:
  // For a reader: waits until bytes fit (an empty backlog always takes
  // them) and counts them. false once the backlog is closed.
  bool admit(uint64_t bytes) {
    std::unique_lock lock(lock_);
    room_.wait(lock, [&] { return !open_ || count_ == 0 || count_ + bytes <= terminal_backlog_limit; });
    if (!open_) return false;
    count_ += bytes;
    return true;
  }

  // For the hub, once it has taken output off the event queue.
  void release(uint64_t bytes) {
    {
      std::lock_guard lock(lock_);
      count_ = bytes > count_ ? 0 : count_ - bytes;
    }
    room_.notify_all();
  }

  // The service is going away: waiting readers drop their data and end.
  void close() {
    {
      std::lock_guard lock(lock_);
      open_ = false;
      count_ = 0;
    }
    room_.notify_all();
  }

 private:
  std::mutex lock_;  // the backlog lock
  bool open_ = true;
  uint64_t count_ = 0;
  std::condition_variable room_;
};

}  // namespace corvane
