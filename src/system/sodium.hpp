#pragma once
#include "error.hpp"

namespace corvane {

// libsodium must be initialised once before its signature code runs; this
// does it on the first call from any thread and remembers the outcome.
Result<> init_sodium();

}  // namespace corvane
