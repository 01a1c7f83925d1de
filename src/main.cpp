#include <string>
#include <vector>

#include "entry.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return corvane::run_main(args);
}
