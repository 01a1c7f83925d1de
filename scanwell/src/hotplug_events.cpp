#include "hotplug_events.hpp"

#include <linux/netlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <string_view>

namespace scanwell {

namespace {

constexpr unsigned kernel_uevent_group = 1;

}  // namespace

HotplugEvents::HotplugEvents()
    : socket_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT)) {
  if (!socket_) return;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = kernel_uevent_group;
  if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) socket_.reset();
}

bool HotplugEvents::drm_event_pending() {
  bool pending = false;
  while (socket_) {
    char message[8192];
    sockaddr_nl sender{};
    socklen_t sender_size = sizeof sender;
    ssize_t got = ::recvfrom(socket_.get(), message, sizeof message, 0, reinterpret_cast<sockaddr*>(&sender),
                             &sender_size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return pending || errno == ENOBUFS;
    // Only the kernel (port 0) speaks for the hardware.
    if (sender.nl_pid != 0) continue;
    pending = pending || is_drm_uevent({message, static_cast<std::size_t>(got)});
  }
  return pending;
}

bool is_drm_uevent(std::span<const char> message) {
  std::string_view rest(message.data(), message.size());
  while (!rest.empty()) {
    auto end = rest.find('\0');
    std::string_view field = rest.substr(0, end);
    if (field == "SUBSYSTEM=drm") return true;
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return false;
}

}  // namespace scanwell
