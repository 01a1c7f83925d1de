#pragma once
// The KVM's proof of identity: session.ready carries its Ed25519 public key
// and a signature over this session's hello, so a recorded answer from an
// earlier session or another computer never verifies.
#include <cstddef>
#include <cstdint>
#include <span>

#include "error.hpp"
#include "fingerprint.hpp"

namespace corvane {

inline constexpr size_t ready_payload_size = 116;

// The first 8 bytes of the SHA-256 digest of the key, in digest order.
Fingerprint key_fingerprint(std::span<const uint8_t, 32> public_key);

// hello_payload: the exact bytes sent in session.hello. Returns the KVM's
// fingerprint once the signature over the context string, the hello and
// the first 52 bytes of session.ready holds in the strict sense.
Result<Fingerprint> verify_ready(std::span<const uint8_t> hello_payload,
                                 std::span<const uint8_t> ready_payload);

}  // namespace corvane
