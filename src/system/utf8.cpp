#include "system/utf8.hpp"

#include <cstdint>
#include <optional>

namespace corvane {
namespace {

struct Decoded {
  char32_t code_point;
  size_t length;
};

// Decodes one code point at the start of text, or nothing when the bytes
// there are not well-formed UTF-8 (overlong forms and surrogates included).
std::optional<Decoded> decode_first(std::string_view text) {
  if (text.empty()) return std::nullopt;
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(0);
  if (lead < 0x80) return Decoded{lead, 1};
  size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) return std::nullopt;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (byte(i) & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF) return std::nullopt;
  if (value >= 0xD800 && value <= 0xDFFF) return std::nullopt;
  return Decoded{value, length};
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Length of the code point that ends at text.size(), found by stepping back
// over continuation bytes.
size_t last_code_point_length(std::string_view text) {
  size_t length = 1;
  while (length < text.size() && length < 4 &&
         (static_cast<uint8_t>(text[text.size() - length]) & 0xC0) == 0x80) {
    ++length;
  }
  return length;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  while (!text.empty()) {
    auto decoded = decode_first(text);
    if (!decoded) return false;
    text.remove_prefix(decoded->length);
  }
  return true;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  while (!text.empty()) {
    auto decoded = decode_first(text);
    if (!decoded || !is_white_space(decoded->code_point)) break;
    text.remove_prefix(decoded->length);
  }
  while (!text.empty()) {
    size_t length = last_code_point_length(text);
    auto decoded = decode_first(text.substr(text.size() - length));
    if (!decoded || !is_white_space(decoded->code_point)) break;
    text.remove_suffix(length);
  }
  return text;
}

}  // namespace corvane
