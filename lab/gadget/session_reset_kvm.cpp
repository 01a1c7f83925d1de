#include "session_reset_kvm.hpp"

#include <algorithm>
#include <random>

namespace corvane::lab {
namespace {

std::array<uint8_t, 16> fresh_token() {
  std::random_device device;
  std::array<uint8_t, 16> token{};
  // A token is never all zero.
  while (std::ranges::all_of(token, [](uint8_t byte) { return byte == 0; })) {
    for (auto& byte : token) byte = static_cast<uint8_t>(device());
  }
  return token;
}

}  // namespace

SessionResetKvm::SessionResetKvm(bool refuse_reset)
    : refuse_reset_(refuse_reset), status_{SessionStatus::State::ready, fresh_token()} {}

SessionStatus SessionResetKvm::reset_session() {
  status_ = {SessionStatus::State::resetting, fresh_token()};
  return status_;
}

SessionStatus SessionResetKvm::session_status() {
  if (!refuse_reset_) status_.state = SessionStatus::State::ready;
  return status_;
}

}  // namespace corvane::lab
