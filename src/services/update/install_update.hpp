#pragma once
// Installs a staged update once its session has ended: the package takes
// the program file's place and the service manager restarts the service,
// which then runs the new program.
#include "error.hpp"
#include "services/staged_slot.hpp"

namespace corvane {

// On success the caller ends the process, so that the restart finds it
// gone. On failure the package is removed, the reason is logged, and the
// old program keeps running.
Result<> install_update(const StagedUpdate& update);

}  // namespace corvane
