#include "session/strict_ed25519.hpp"

#include <sodium.h>

namespace corvane {
namespace {

// libsodium has no bare decompression call; adding the identity point
// decompresses the key and checks it lies on the curve, without the
// small-order and subgroup rejections of crypto_core_ed25519_is_valid_point,
// which must surface as a bad signature rather than a bad key.
bool decompresses(std::span<const uint8_t, 32> point) {
  static constexpr unsigned char identity[crypto_core_ed25519_BYTES] = {1};
  unsigned char sum[crypto_core_ed25519_BYTES];
  return crypto_core_ed25519_add(sum, point.data(), identity) == 0;
}

}  // namespace

SignatureCheck check_strict_ed25519(std::span<const uint8_t, 32> public_key,
                                    std::span<const uint8_t, 64> signature,
                                    std::span<const uint8_t> message) {
  if (!decompresses(public_key)) return SignatureCheck::invalid_key;
  // libsodium's own verifier already applies the whole strict rule: S below
  // the group order, neither R nor the key of small order, a canonical key,
  // and the cofactorless equation compared with R's bytes (an R that does
  // not decompress, or is not canonical, can never match).
  int verified = crypto_sign_ed25519_verify_detached(signature.data(), message.data(),
                                                     message.size(), public_key.data());
  return verified == 0 ? SignatureCheck::valid : SignatureCheck::invalid_signature;
}

}  // namespace corvane
