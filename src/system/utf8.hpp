#pragma once
#include <string>
#include <string_view>

namespace corvane {

bool is_valid_utf8(std::string_view text);

// Trims Unicode white space (the White_Space property: tabs, carriage
// returns, no-break spaces, ideographic space ...) from both ends.
// The text must be valid UTF-8.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace corvane
