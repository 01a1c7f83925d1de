#include "system/clock.hpp"

#include <thread>

namespace corvane {
namespace {

class SteadyClock final : public Clock {
 public:
  time_point now() override { return std::chrono::steady_clock::now(); }
  void sleep_for(duration length) override { std::this_thread::sleep_for(length); }
  void wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
                  time_point deadline) override {
    condition.wait_until(lock, deadline);
  }
};

}  // namespace

Clock& steady_clock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace corvane
