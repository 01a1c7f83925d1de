#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "error.hpp"

namespace corvane::lab {

// A 128-byte EDID 1.4 base block, no extensions, for a 1920x1080 display whose
// manufacturer code (bytes 8-9) is the given three letters; the KVM's display
// is "ZVN", bytes 0x6A 0xCE.
Result<std::array<uint8_t, 128>> make_edid(std::string_view manufacturer);

}  // namespace corvane::lab
