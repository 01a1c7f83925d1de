#include "request_loop.hpp"

#include "cursor_request.hpp"
#include "frame_request.hpp"
#include "helper_protocol.hpp"
#include "socket_io.hpp"

namespace scanwell {

namespace {

bool valid_header(const HelperRequest& request) {
  if (request.magic != request_magic || request.version != request_version) return false;
  if (request.length != sizeof(HelperRequest)) return false;
  auto type = static_cast<RequestType>(request.type);
  return type == RequestType::frame || type == RequestType::cursor || type == RequestType::end;
}

}  // namespace

void serve_requests(HelperState& state) {
  for (;;) {
    HelperRequest request;
    if (!recv_exact(helper_socket, &request, sizeof request) || !valid_header(request)) return;
    switch (static_cast<RequestType>(request.type)) {
      case RequestType::frame:
        serve_frame(state, request.crtc_id);
        break;
      case RequestType::cursor:
        serve_cursor(state, request.crtc_id);
        break;
      case RequestType::end:
        return;
    }
  }
}

}  // namespace scanwell
