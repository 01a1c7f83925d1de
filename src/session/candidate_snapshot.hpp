#pragma once
#include <cstdint>
#include <set>
#include <utility>

#include "session/usb_host.hpp"

namespace corvane {

// The (bus number, device address) of every plugged-in KVM candidate. A
// device that is unplugged, added or re-enumerated changes it. A listing
// that fails counts as no devices.
using CandidateSnapshot = std::set<std::pair<uint8_t, uint8_t>>;

CandidateSnapshot candidate_snapshot(UsbHost& host);

}  // namespace corvane
