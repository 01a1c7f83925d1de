#pragma once
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace corvane::lab {

// 64-bit FNV-1a over a frame's payload: the gadget logs it for what arrived
// and the host-side checks print it for what they sent, so a test sees that
// every byte arrived, in order.
class PayloadDigest {
 public:
  void add(std::span<const uint8_t> bytes) {
    for (uint8_t byte : bytes) value_ = (value_ ^ byte) * 0x100000001b3ULL;
  }
  std::string text() const {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(value_));
    return hex;
  }

 private:
  uint64_t value_ = 0xcbf29ce484222325ULL;
};

}  // namespace corvane::lab
