#include "session/session_reset.hpp"

#include <chrono>

namespace corvane {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t vendor_in_to_interface = 0xc1;
constexpr uint16_t status_request_value = 5;
constexpr auto control_timeout = 1000ms;
constexpr auto status_poll_interval = 25ms;

}  // namespace

Result<SessionStatus> control_request(UsbDevice& device, uint8_t interface, uint8_t request) {
  ControlSetup setup{vendor_in_to_interface, request, status_request_value, interface,
                     session_status_size};
  auto data = device.control_in(setup, control_timeout);
  if (!data) return std::unexpected(data.error());
  return parse_session_status(*data);
}

Result<SessionToken> reset_kvm_session(UsbDevice& device, uint8_t interface, Clock& clock,
                                       Clock::time_point deadline) {
  // The reset's own answer only names the new session; whether the reset
  // has finished is the status request's to say.
  auto reset = control_request(device, interface, session_reset_request);
  if (!reset) return std::unexpected(reset.error());
  for (;;) {
    if (clock.now() >= deadline) return fail("the KVM did not finish resetting its USB session");
    auto status = control_request(device, interface, session_status_request);
    if (!status) return std::unexpected(status.error());
    if (status->token != reset->token) return fail("the KVM session reset was superseded");
    switch (status->state) {
      case SessionState::resetting:
        clock.sleep_for(status_poll_interval);
        continue;
      case SessionState::ready:
        return reset->token;
      case SessionState::in_use:
        return fail("the KVM session is already in use");
      case SessionState::cancel_failed:
        return fail("the KVM could not cancel its USB requests; restart the KVM");
    }
  }
}

}  // namespace corvane
