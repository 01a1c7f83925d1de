#include "session/connect.hpp"

#include <optional>
#include <vector>

#include "approval.hpp"
#include "session/handshake.hpp"

namespace corvane {
namespace {

constexpr const char* access_denied_text =
    "permission denied opening the KVM; install the USB access rule and reconnect it";

// How one candidate's attempt ended when it did not succeed.
using AttemptFailure = std::variant<Error, UsbAccessDenied, UnapprovedKvm>;

std::expected<ConnectedKvm, AttemptFailure> attempt(UsbHost& host, const UsbCandidate& candidate,
                                                    const ApprovedList& approved, Clock& clock) {
  auto device = host.open(candidate.bus_number, candidate.address);
  if (!device) {
    if (device.error().access_denied) return std::unexpected(UsbAccessDenied{});
    return std::unexpected(Error{device.error().message});
  }
  auto opened = open_connection(std::move(*device), candidate.interface_number, clock);
  if (!opened) return std::unexpected(opened.error());
  auto identity = handshake(*opened->connection, opened->token, approved, clock);
  if (!identity) {
    return std::visit([](auto failure) { return std::unexpected<AttemptFailure>(failure); },
                      identity.error());
  }
  return ConnectedKvm{std::move(opened->connection), candidate, identity->fingerprint,
                      std::move(identity->settings)};
}

// Ordinary failures name what went wrong and come first; permission
// refusals share one remedy and follow them. A KVM that merely is not
// approved is reported only when nothing else went wrong.
ConnectError condense(const std::vector<std::pair<UsbCandidate, AttemptFailure>>& failures) {
  std::vector<std::string> ordinary;
  std::vector<std::string> denied;
  std::optional<NotApproved> not_approved;
  for (const auto& [candidate, failure] : failures) {
    if (const auto* error = std::get_if<Error>(&failure)) {
      ordinary.push_back(candidate.label + ": " + error->message);
    } else if (std::holds_alternative<UsbAccessDenied>(failure)) {
      denied.push_back(candidate.label + ": " + access_denied_text);
    } else {
      not_approved = NotApproved{std::get<UnapprovedKvm>(failure).fingerprint, candidate};
    }
  }
  if (!ordinary.empty()) {
    std::string text = "no Corvane USB interface completed the handshake: ";
    ordinary.insert(ordinary.end(), denied.begin(), denied.end());
    for (size_t i = 0; i < ordinary.size(); ++i) text += (i ? "; " : "") + ordinary[i];
    return Error{text};
  }
  if (!denied.empty()) return UsbAccessDenied{};
  return *not_approved;
}

}  // namespace

std::string connect_error_text(const ConnectError& error) {
  if (const auto* plain = std::get_if<Error>(&error)) return plain->message;
  if (std::holds_alternative<UsbAccessDenied>(error)) return access_denied_text;
  const auto& not_approved = std::get<NotApproved>(error);
  return "the KVM " + format_fingerprint(not_approved.fingerprint) +
         " is not approved on this computer";
}

std::expected<ConnectedKvm, ConnectError> connect(UsbHost& host,
                                                  const std::filesystem::path& approved_store,
                                                  Clock& clock) {
  auto approved = load_approved(approved_store);
  if (!approved) return std::unexpected(approved.error());
  auto devices = host.list_devices();
  if (!devices) return std::unexpected(devices.error());
  auto candidates = find_candidates(*devices);
  if (candidates.empty()) return std::unexpected(Error{"no Corvane USB interface found"});
  std::vector<std::pair<UsbCandidate, AttemptFailure>> failures;
  for (const auto& candidate : candidates) {
    auto connected = attempt(host, candidate, *approved, clock);
    if (connected) return std::move(*connected);
    failures.emplace_back(candidate, std::move(connected.error()));
  }
  return std::unexpected(condense(failures));
}

}  // namespace corvane
