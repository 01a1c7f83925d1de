#pragma once
#include <functional>

#include "error.hpp"
#include "kvm_behaviour.hpp"

namespace corvane::lab {

// Serves the function's ep0 until signal_fd becomes readable: logs the
// function's lifecycle, answers the two vendor session requests through the
// behaviour and stalls every other request. on_enabled runs each time the
// host configures the device.
Result<> serve_ep0(int ep0, int signal_fd, KvmBehaviour& behaviour,
                   const std::function<void()>& on_enabled);

}  // namespace corvane::lab
