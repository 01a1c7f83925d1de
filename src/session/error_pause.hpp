#pragma once
#include "shutdown.hpp"
#include "system/clock.hpp"

namespace corvane {

// The pause after a failed attempt: 2 s in steps of at most 50 ms, ending
// early once stop is set.
void error_pause(const StopFlag& stop, Clock& clock);

}  // namespace corvane
