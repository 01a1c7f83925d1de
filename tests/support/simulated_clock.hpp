#pragma once
// Simulated time for logic driven by long timeouts: sleeping and waiting
// move the clock forward at once, so a 30 s deadline passes in no time.
// Suits logic on one thread: a wait never blocks, so nothing another thread
// would do meanwhile is waited for.
#include <atomic>

#include "system/clock.hpp"

namespace corvane::test {

class SimulatedClock final : public Clock {
 public:
  time_point now() override { return start_ + duration(offset_.load()); }
  void sleep_for(duration length) override { advance(length); }
  void wait_until(std::unique_lock<std::mutex>&, std::condition_variable&,
                  time_point deadline) override {
    auto current = now();
    if (deadline > current) advance(deadline - current);
  }

  duration elapsed() const { return duration(offset_.load()); }
  void advance(duration length) { offset_ += length.count(); }

 private:
  time_point start_ = std::chrono::steady_clock::now();
  std::atomic<duration::rep> offset_{0};
};

}  // namespace corvane::test
