#pragma once
#include <string>
#include <string_view>

namespace corvane {

// The bytes as UTF-8 text, each ill-formed part (the longest prefix of a
// sequence that could still have become valid, or else one byte) replaced
// by U+FFFD.
std::string from_utf8_lossy(std::string_view bytes);

}  // namespace corvane
