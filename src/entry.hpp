#pragma once
#include <string>
#include <vector>

namespace corvane {

// Runs the mode the arguments pick and returns the process exit status.
int run_main(const std::vector<std::string>& args);

}  // namespace corvane
