#pragma once
#include <atomic>
#include <memory>

#include "error.hpp"

namespace corvane {

// Set once, when the service should wind down; never reset.
using StopFlag = std::shared_ptr<std::atomic<bool>>;

inline StopFlag make_stop_flag() { return std::make_shared<std::atomic<bool>>(false); }

// SIGINT, SIGTERM and SIGHUP wake a watcher thread that sets stop. The
// signal handler only posts a semaphore: nothing else is safe there.
// Installed once per process.
Result<> install_shutdown_handler(StopFlag stop);

}  // namespace corvane
