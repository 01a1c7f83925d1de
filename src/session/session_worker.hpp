#pragma once
// The session worker: the one thread that writes to the KVM. It sends what
// the outbound queue brings, in order, and runs the capture pipeline's tick
// between commands.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "session/failure_slot.hpp"
#include "session/message_sink.hpp"
#include "session/outbound_command.hpp"
#include "system/channel.hpp"

namespace corvane {

// Terminal output bytes queued for the KVM and not yet handled by the worker.
using InFlightCounter = std::shared_ptr<std::atomic<uint64_t>>;

// The most service messages sent between two ticks, so that a busy
// service cannot hold up the video stream.
inline constexpr int service_messages_per_tick = 8;

struct SessionWorker {
  Receiver<OutboundCommand> commands;
  std::shared_ptr<MessageSink> sink;
  std::shared_ptr<FailureSlot> worker_failure;
  InFlightCounter in_flight;
  // One step of the capture pipeline; runs whenever the worker is idle.
  std::function<void()> tick;
};

// The thread body ("usb-writer"). Returns on session close, when the sink
// is cancelled, or when the queue has no producers left.
void run_session_worker(SessionWorker worker);

}  // namespace corvane
