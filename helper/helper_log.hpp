#pragma once

namespace scanwell {

// Writes "scanwell-helper: ", the formatted text and a newline to standard
// error in one write, so the line arrives whole.
[[gnu::format(printf, 1, 2)]] void helper_log(const char* format, ...);

// helper_log("%s: %s", what, strerror(errno)), the way perror would.
void helper_perror(const char* what);

}  // namespace scanwell
