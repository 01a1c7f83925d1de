#pragma once
#include "session_status.hpp"

namespace corvane::lab {

// What the gadget does as a KVM. The gadget program owns the USB side (the
// configfs tree, descriptors, ep0 and the endpoint files) and asks its
// behaviour for every answer a KVM gives, so a different KVM is a different
// behaviour. Calls come from the ep0 loop's thread.
class KvmBehaviour {
 public:
  virtual ~KvmBehaviour() = default;
  // The session reset request: the KVM starts a new USB session.
  virtual SessionStatus reset_session() = 0;
  // The session status request: how far the reset has come.
  virtual SessionStatus session_status() = 0;
};

}  // namespace corvane::lab
