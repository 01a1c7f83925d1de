#pragma once
// What the run loop does when the KVM it reached is not approved: it asks
// the user in a dialog, and watches the store and the plugged-in KVMs until
// something changes that makes a new attempt worthwhile.
#include <functional>

#include "fingerprint.hpp"
#include "session/candidate_snapshot.hpp"
#include "supervisor/dialog.hpp"
#include "shutdown.hpp"
#include "system/clock.hpp"

namespace corvane {

// The question to the user about the KVM with this fingerprint; it says
// so when another KVM is approved already.
DialogCommand approval_dialog(const std::string& fingerprint_text, bool another_kvm_approved);

// Returns when the fingerprint is approved (by the dialog or from a
// terminal), when the set of plugged-in KVMs changes, on a stop, or after
// the error pause of a failure.
void approval_wait(const Fingerprint& fingerprint, const StopFlag& stop,
                   const std::function<CandidateSnapshot()>& snapshot, Clock& clock);

}  // namespace corvane
