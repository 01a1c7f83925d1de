#pragma once

#include "helper_state.hpp"

namespace scanwell {

// Answers requests on descriptor 3, one after another, until the peer
// closes the socket, a header is invalid or an end request arrives.
void serve_requests(HelperState& state);

}  // namespace scanwell
