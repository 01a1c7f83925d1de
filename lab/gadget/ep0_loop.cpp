#include "ep0_loop.hpp"

#include <endian.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <string>

#include "log.hpp"

namespace corvane::lab {
namespace {

constexpr uint8_t vendor_in_to_interface = USB_DIR_IN | USB_TYPE_VENDOR | USB_RECIP_INTERFACE;

std::string describe(const usb_ctrlrequest& setup) {
  char text[96];
  std::snprintf(text, sizeof text,
                "bmRequestType 0x%02x bRequest 0x%02x wValue %u wIndex %u wLength %u",
                setup.bRequestType, setup.bRequest, le16toh(setup.wValue), le16toh(setup.wIndex),
                le16toh(setup.wLength));
  return text;
}

// FunctionFS stalls a request when ep0 is used against its data direction,
// and says so with EL2HLT.
void stall(int ep0, const usb_ctrlrequest& setup) {
  log_line("gadget-kvm: stalling " + describe(setup));
  ssize_t result =
      (setup.bRequestType & USB_DIR_IN) ? ::read(ep0, nullptr, 0) : ::write(ep0, nullptr, 0);
  if (result < 0 && errno != EL2HLT) {
    log_line("gadget-kvm: stalling failed: " + os_error_text(errno));
  }
}

void answer_setup(int ep0, const usb_ctrlrequest& setup, KvmBehaviour& behaviour) {
  bool session_request =
      setup.bRequest == session_reset_request || setup.bRequest == session_status_request;
  if (setup.bRequestType != vendor_in_to_interface || !session_request) {
    stall(ep0, setup);
    return;
  }
  bool reset = setup.bRequest == session_reset_request;
  SessionStatus status = reset ? behaviour.reset_session() : behaviour.session_status();
  auto record = encode_session_status(status);
  size_t length = std::min<size_t>(le16toh(setup.wLength), record.size());
  if (::write(ep0, record.data(), length) < 0) {
    log_line("gadget-kvm: answering " + describe(setup) + ": " + os_error_text(errno));
    return;
  }
  log_line(std::string("gadget-kvm: ") + (reset ? "session reset" : "session status") +
           " answered with state " + std::to_string(static_cast<int>(status.state)));
}

const char* event_name(uint8_t type) {
  switch (type) {
    case FUNCTIONFS_BIND:
      return "bind";
    case FUNCTIONFS_UNBIND:
      return "unbind";
    case FUNCTIONFS_ENABLE:
      return "enable";
    case FUNCTIONFS_DISABLE:
      return "disable";
    case FUNCTIONFS_SUSPEND:
      return "suspend";
    case FUNCTIONFS_RESUME:
      return "resume";
    default:
      return "unknown event";
  }
}

Result<> handle_events(int ep0, KvmBehaviour& behaviour, const std::function<void()>& on_enabled) {
  std::array<usb_functionfs_event, 4> events;
  ssize_t got = ::read(ep0, events.data(), sizeof events);
  if (got < 0) {
    if (errno == EINTR || errno == EAGAIN) return {};
    return fail("read ep0: " + os_error_text(errno));
  }
  for (size_t i = 0; i < static_cast<size_t>(got) / sizeof(usb_functionfs_event); ++i) {
    const auto& event = events[i];
    if (event.type == FUNCTIONFS_SETUP) {
      answer_setup(ep0, event.u.setup, behaviour);
      continue;
    }
    log_line(std::string("gadget-kvm: ") + event_name(event.type));
    if (event.type == FUNCTIONFS_ENABLE) on_enabled();
  }
  return {};
}

}  // namespace

Result<> serve_ep0(int ep0, int signal_fd, KvmBehaviour& behaviour,
                   const std::function<void()>& on_enabled) {
  std::array<pollfd, 2> watched{{{ep0, POLLIN, 0}, {signal_fd, POLLIN, 0}}};
  for (;;) {
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return fail("poll: " + os_error_text(errno));
    }
    if (watched[1].revents != 0) return {};
    if (watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return fail("ep0 failed");
    if (watched[0].revents & POLLIN) {
      if (auto handled = handle_events(ep0, behaviour, on_enabled); !handled) return handled;
    }
  }
}

}  // namespace corvane::lab
