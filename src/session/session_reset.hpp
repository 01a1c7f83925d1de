#pragma once
// Before any message is exchanged the KVM starts a fresh USB session: a
// reset request, then status requests until the KVM reports how the reset
// ended. The token it chose binds the handshake to this session.
#include <cstdint>

#include "error.hpp"
#include "session/session_status.hpp"
#include "session/usb_host.hpp"
#include "system/clock.hpp"

namespace corvane {

inline constexpr uint8_t session_reset_request = 0x40;
inline constexpr uint8_t session_status_request = 0x41;

// One vendor control IN transfer to the interface; its data stage is the
// KVM's SessionStatus.
Result<SessionStatus> control_request(UsbDevice& device, uint8_t interface, uint8_t request);

// Returns the token of the reset once the KVM reports it ready.
Result<SessionToken> reset_kvm_session(UsbDevice& device, uint8_t interface, Clock& clock,
                                       Clock::time_point deadline);

}  // namespace corvane
