#include "session/run_loop.hpp"

#include <chrono>
#include <thread>

#include "log.hpp"
#include "services/install_target.hpp"

namespace corvane {

void run(const StopFlag& stop) {
  log_line("corvane " CORVANE_VERSION " running");
  const auto install_target = determine_install_target();
  (void)install_target;  // taken by the sessions once they connect
  // Connecting to a KVM is not built yet: the service only waits for the
  // request to stop, checking it every 50 ms like every other wait.
  while (!stop->load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace corvane
