#pragma once
// The time source of logic driven by long timeouts (seconds-long deadlines,
// pauses between polls). Production code uses steady_clock(); tests hand in
// a simulated clock so that a 30 s deadline passes without waiting.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace corvane {

class Clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  using duration = std::chrono::steady_clock::duration;

  virtual ~Clock() = default;

  virtual time_point now() = 0;
  virtual void sleep_for(duration length) = 0;
  // Blocks on condition (lock held on entry and on return) until it is
  // notified or deadline comes; callers re-check their predicate either way.
  virtual void wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
                          time_point deadline) = 0;
};

// The monotonic clock and real sleeping; shared by the whole process.
Clock& steady_clock();

}  // namespace corvane
