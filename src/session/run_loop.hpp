#pragma once
#include "shutdown.hpp"

namespace corvane {

// The body of --run. Returns once stop is set.
void run(const StopFlag& stop);

}  // namespace corvane
