// scanwell-helper: reads the framebuffers the desktop scans out, which only
// a holder of CAP_SYS_ADMIN may do, and hands them to libscanwell over the
// socket it was started with. It confines itself before serving anything.
#include <unistd.h>

#include <cstdlib>

#include "confinement.hpp"
#include "device_setup.hpp"
#include "helper_protocol.hpp"
#include "helper_state.hpp"
#include "launch_checks.hpp"
#include "request_loop.hpp"

namespace {

// Process-wide: holds the 256 KiB cursor buffer, so it stays off the stack.
scanwell::HelperState state;

}  // namespace

int main(int argc, char** argv) {
  using namespace scanwell;
  const char* device_argument = argc > 1 ? argv[1] : "/dev/dri/card0";
  if (!check_launch_socket()) return 1;
  auto device_path = resolve_device_path(device_argument);
  if (!device_path) return 1;
  if (!forbid_new_privileges()) return 1;
  auto device = open_device(*device_path);
  if (!device) return 1;
  if (!keep_only_sys_admin()) return 1;
  if (!install_seccomp_filter()) return 1;

  state.device = device->fd.get();
  state.virtio = device->virtio;
  state.debug = std::getenv("SCANWELL_DEBUG") != nullptr;
  serve_requests(state);
  ::close(helper_socket);
  return 0;
}
