#pragma once
#include <string>
#include <vector>

#include "error.hpp"

namespace corvane {

// Runs program (found through PATH) with args, sharing our standard input,
// output and error, and waits for it. Exit status 0 is success; anything
// else is "<program> exited with <status>", and a program that cannot be
// started is "could not run <program>: <reason>".
Result<> run_tool(const std::string& program, const std::vector<std::string>& args);

}  // namespace corvane
