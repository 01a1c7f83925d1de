#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"

namespace corvane {

// A KVM's identity: the first 8 bytes of the SHA-256 digest of its Ed25519
// public key, in digest order.
struct Fingerprint {
  std::array<uint8_t, 8> bytes{};
  friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

// Eight upper-case hex pairs joined by colons: 0A:1B:2C:3D:4E:5F:60:71.
std::string format_fingerprint(const Fingerprint& fingerprint);

// Accepts the 16 hex digits in either case with any blanks, hyphens and
// colons between them; the error quotes the text unchanged.
Result<Fingerprint> parse_fingerprint(std::string_view text);

}  // namespace corvane
