#pragma once
// The handshake on a freshly reset connection: proves that the KVM holds the
// key the user approved, bound to this USB session and a fresh nonce, and
// fetches the KVM's settings for the session.
#include <expected>
#include <variant>

#include "approval.hpp"
#include "error.hpp"
#include "fingerprint.hpp"
#include "session/session_status.hpp"
#include "session/settings.hpp"
#include "session/usb_connection.hpp"
#include "system/clock.hpp"

namespace corvane {

struct KvmIdentity {
  Fingerprint fingerprint;
  SessionSettings settings;
};

// The KVM proved its key, but the key is not in the approved store.
struct UnapprovedKvm {
  Fingerprint fingerprint;
};

using HandshakeError = std::variant<Error, UnapprovedKvm>;

std::expected<KvmIdentity, HandshakeError> handshake(UsbConnection& connection,
                                                     const SessionToken& token,
                                                     const ApprovedList& approved, Clock& clock);

}  // namespace corvane
