#include "fingerprint.hpp"

#include <optional>

namespace corvane {
namespace {

std::optional<uint8_t> hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace

std::string format_fingerprint(const Fingerprint& fingerprint) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t byte : fingerprint.bytes) {
    if (!text.empty()) text.push_back(':');
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0F]);
  }
  return text;
}

Result<Fingerprint> parse_fingerprint(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c != ' ' && c != '-' && c != ':') digits.push_back(c);
  }
  auto refuse = [&] { return fail("not a KVM fingerprint: " + std::string(text)); };
  if (digits.size() != 16) return refuse();
  Fingerprint fingerprint;
  for (size_t i = 0; i < fingerprint.bytes.size(); ++i) {
    auto high = hex_value(digits[2 * i]);
    auto low = hex_value(digits[2 * i + 1]);
    if (!high || !low) return refuse();
    fingerprint.bytes[i] = static_cast<uint8_t>(*high << 4 | *low);
  }
  return fingerprint;
}

}  // namespace corvane
