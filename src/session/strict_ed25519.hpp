#pragma once
// Ed25519 verification in its strict form: one key has one encoding and a
// signature has exactly one valid S, so nobody can re-encode a signature
// (or a key, and with it the fingerprint) the verifier already accepted.
#include <cstdint>
#include <span>

namespace corvane {

enum class SignatureCheck {
  valid,
  // The key bytes are not the encoding of any point on the curve.
  invalid_key,
  invalid_signature,
};

// Rejects a non-canonical S, an R or a key of small order or in a
// non-canonical encoding, and any signature for which [S]B - [k]A does not
// encode to exactly the bytes of R (the cofactorless equation).
// init_sodium() must have succeeded.
SignatureCheck check_strict_ed25519(std::span<const uint8_t, 32> public_key,
                                    std::span<const uint8_t, 64> signature,
                                    std::span<const uint8_t> message);

}  // namespace corvane
