#pragma once
#include "error.hpp"
#include "session/frame.hpp"
#include "session/kvm_event.hpp"

namespace corvane {

// Checks one frame from the KVM and turns it into its event. Frames this
// service does not take from the KVM (session.ready included: only the
// handshake reads it) come back as IgnoredMessage. An error is fatal to
// the session; its text is the first failing check's.
Result<KvmEvent> decode(const Frame& frame);

}  // namespace corvane
