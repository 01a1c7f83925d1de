#include "session/ready.hpp"

#include <sodium.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "session/strict_ed25519.hpp"
#include "system/sodium.hpp"

namespace corvane {
namespace {

constexpr std::string_view signing_context = "Corvane session.ready v5";
// Version, session token and public key: the part of session.ready that
// the KVM signs along with the hello.
constexpr size_t signed_ready_prefix = 52;

std::vector<uint8_t> signed_bytes(std::span<const uint8_t> hello_payload,
                                  std::span<const uint8_t> ready_payload) {
  std::vector<uint8_t> bytes(signing_context.begin(), signing_context.end());
  bytes.insert(bytes.end(), hello_payload.begin(), hello_payload.end());
  auto ready_prefix = ready_payload.first(signed_ready_prefix);
  bytes.insert(bytes.end(), ready_prefix.begin(), ready_prefix.end());
  return bytes;
}

}  // namespace

Fingerprint key_fingerprint(std::span<const uint8_t, 32> public_key) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, public_key.data(), public_key.size());
  Fingerprint fingerprint;
  std::copy_n(digest, fingerprint.bytes.size(), fingerprint.bytes.begin());
  return fingerprint;
}

Result<Fingerprint> verify_ready(std::span<const uint8_t> hello_payload,
                                 std::span<const uint8_t> ready_payload) {
  if (ready_payload.size() != ready_payload_size) {
    return fail("invalid session.ready payload length");
  }
  if (auto initialised = init_sodium(); !initialised) {
    return std::unexpected(initialised.error());
  }
  auto public_key = ready_payload.subspan<20, 32>();
  auto signature = ready_payload.subspan<52, 64>();
  switch (check_strict_ed25519(public_key, signature, signed_bytes(hello_payload, ready_payload))) {
    case SignatureCheck::invalid_key:
      return fail("the KVM sent an invalid public key");
    case SignatureCheck::invalid_signature:
      return fail("the KVM's session.ready signature is invalid");
    case SignatureCheck::valid:
      break;
  }
  return key_fingerprint(public_key);
}

}  // namespace corvane
