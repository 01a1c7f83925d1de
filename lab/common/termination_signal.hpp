#pragma once
#include "error.hpp"
#include "system/unique_fd.hpp"

namespace corvane::lab {

// Blocks SIGTERM and SIGINT for the whole process and returns a descriptor
// that becomes readable when one arrives, so a program's event loop can end
// through its own teardown instead of dying mid-way.
Result<UniqueFd> termination_signal_fd();

}  // namespace corvane::lab
