// The data stage of the KVM's vendor control requests, before any trust.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "session/session_status.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto status = corvane::parse_session_status(std::span(data, size));
  if (!status) return 0;
  bool token_set = false;
  for (uint8_t byte : status->token) token_set |= byte != 0;
  bool known_state = static_cast<uint8_t>(status->state) <= 3;
  if (size != corvane::session_status_size || !token_set || !known_state) std::abort();
  return 0;
}
