#include "system/lossy_utf8.hpp"

#include <cstdint>

namespace corvane {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

struct SequenceShape {
  size_t length;               // 0: the lead byte never starts a sequence
  uint8_t second_low = 0x80;   // the second byte's range excludes overlong
  uint8_t second_high = 0xBF;  // forms, surrogates and values past U+10FFFF
};

SequenceShape shape_of(uint8_t lead) {
  if (lead < 0x80) return {1};
  if (lead >= 0xC2 && lead <= 0xDF) return {2};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0};
}

// How many bytes from the start form a well-formed sequence (complete is
// set) or the longest ill-formed prefix that must be replaced as one.
size_t sequence_at(std::string_view bytes, bool& complete) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  SequenceShape shape = shape_of(byte(0));
  complete = false;
  if (shape.length == 0) return 1;
  size_t taken = 1;
  while (taken < shape.length && taken < bytes.size()) {
    uint8_t low = taken == 1 ? shape.second_low : 0x80;
    uint8_t high = taken == 1 ? shape.second_high : 0xBF;
    if (byte(taken) < low || byte(taken) > high) return taken;
    ++taken;
  }
  complete = taken == shape.length;
  return taken;
}

}  // namespace

std::string from_utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    bool complete = false;
    size_t length = sequence_at(bytes, complete);
    if (complete) {
      text.append(bytes.substr(0, length));
    } else {
      text.append(replacement);
    }
    bytes.remove_prefix(length);
  }
  return text;
}

}  // namespace corvane
