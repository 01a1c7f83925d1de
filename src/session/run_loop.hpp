#pragma once
#include <filesystem>
#include <functional>

#include "services/session_services.hpp"
#include "session/candidate_snapshot.hpp"
#include "session/usb_host.hpp"
#include "shutdown.hpp"
#include "system/clock.hpp"

namespace corvane {

// What the run loop works with; tests hand in a simulated USB bus.
struct RunLoopEnvironment {
  UsbHost& host;
  // The transport's clock (handshake and write deadlines).
  Clock& clock;
  // The pauses between attempts and the polls of the prompts.
  Clock& wait_clock;
  SessionServices services;
  // The plugged-in KVMs; callable from any thread for the life of the
  // process.
  std::function<CandidateSnapshot()> snapshot;
  // "/" except in tests: where the USB access rule is looked for.
  std::filesystem::path root = "/";
};

// The body of --run: connect, serve, tear down, again, until stop is set.
void run(const StopFlag& stop);
void run_loop(const StopFlag& stop, RunLoopEnvironment environment);

}  // namespace corvane
