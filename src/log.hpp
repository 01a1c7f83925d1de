#pragma once
#include <string_view>

namespace corvane {

// Writes one line (a newline is added) to standard error with a single
// write, so lines from different threads never interleave.
void log_line(std::string_view line);

// The same for standard output, used by the command-line modes.
void print_line(std::string_view line);

}  // namespace corvane
