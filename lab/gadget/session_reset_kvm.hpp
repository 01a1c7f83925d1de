#pragma once
#include "kvm_behaviour.hpp"

namespace corvane::lab {

// A KVM that has nothing to cancel: each reset takes a fresh token and the
// next status request finds it ready. With refuse_reset it never gets there,
// so every status request answers "reset still in progress".
class SessionResetKvm final : public KvmBehaviour {
 public:
  explicit SessionResetKvm(bool refuse_reset);

  SessionStatus reset_session() override;
  SessionStatus session_status() override;

 private:
  bool refuse_reset_;
  SessionStatus status_;
};

}  // namespace corvane::lab
