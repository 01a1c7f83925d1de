#include "launch_checks.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "helper_log.hpp"
#include "helper_protocol.hpp"

namespace scanwell {

bool check_launch_socket() {
  if (::fcntl(helper_socket, F_GETFD) < 0) {
    helper_log("fd %d not valid — must be spawned by libscanwell, not run directly", helper_socket);
    return false;
  }
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(helper_socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    helper_log("fd %d is not a socket — must be spawned by libscanwell, not run directly", helper_socket);
    return false;
  }
  if (peer.uid != ::getuid()) {
    helper_log("refusing to serve peer uid %u (expected %u)", peer.uid, ::getuid());
    return false;
  }
  return true;
}

std::optional<std::string> resolve_device_path(const char* path) {
  static_assert(PATH_MAX == 4096);
  char resolved[PATH_MAX];
  constexpr char dri[] = "/dev/dri/";
  if (::realpath(path, resolved) == nullptr || std::strncmp(resolved, dri, sizeof dri - 1) != 0) {
    helper_log("refusing device path '%s' (must resolve under /dev/dri/)", path);
    return std::nullopt;
  }
  return std::string(resolved);
}

}  // namespace scanwell
