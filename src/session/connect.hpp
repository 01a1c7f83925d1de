#pragma once
// Finding the KVM: every candidate device is opened, reset, handshaken and
// checked against the approved store in turn until one succeeds; the
// failures of all are condensed into one error.
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>

#include "error.hpp"
#include "fingerprint.hpp"
#include "session/settings.hpp"
#include "session/usb_candidate.hpp"
#include "session/usb_connection.hpp"
#include "session/usb_host.hpp"
#include "system/clock.hpp"

namespace corvane {

struct ConnectedKvm {
  std::shared_ptr<UsbConnection> connection;
  UsbCandidate candidate;
  Fingerprint fingerprint;
  SessionSettings settings;
};

// No candidate could be opened for lack of permission.
struct UsbAccessDenied {};

// The KVM proved its key, but the user has not approved it.
struct NotApproved {
  Fingerprint fingerprint;
  UsbCandidate candidate;
};

using ConnectError = std::variant<Error, UsbAccessDenied, NotApproved>;

std::string connect_error_text(const ConnectError& error);

// approved_store is read before any device is touched.
std::expected<ConnectedKvm, ConnectError> connect(UsbHost& host,
                                                  const std::filesystem::path& approved_store,
                                                  Clock& clock);

}  // namespace corvane
