#include "session/error_pause.hpp"

#include <algorithm>
#include <chrono>

namespace corvane {

void error_pause(const StopFlag& stop, Clock& clock) {
  using namespace std::chrono_literals;
  const auto end = clock.now() + 2s;
  while (!stop->load()) {
    const auto now = clock.now();
    if (now >= end) return;
    clock.sleep_for(std::min<Clock::duration>(end - now, 50ms));
  }
}

}  // namespace corvane
