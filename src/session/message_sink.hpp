#pragma once
// Everything that sends to the KVM reaches the connection through this
// interface; the capture test implements it too, printing in place of
// sending.
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "error.hpp"
#include "session/encode.hpp"
#include "session/frame.hpp"

namespace corvane {

// Shared by everything that holds a connection. Once set it stays set: the
// connection is dead.
using CancelFlag = std::shared_ptr<std::atomic<bool>>;

class MessageSink {
 public:
  virtual ~MessageSink() = default;

  virtual CancelFlag cancel_flag() const = 0;
  virtual bool is_cancelled() const = 0;
  virtual Result<> send_control(const ControlMessage& message) = 0;
  virtual Result<> send_access_unit(const AccessUnitInfo& unit, std::span<const uint8_t> data) = 0;
};

}  // namespace corvane
