#include "log.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace corvane {
namespace {

void write_whole(int fd, std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  std::string_view rest = text;
  while (!rest.empty()) {
    ssize_t written = ::write(fd, rest.data(), rest.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    rest.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace

void log_line(std::string_view line) { write_whole(STDERR_FILENO, line); }

void print_line(std::string_view line) { write_whole(STDOUT_FILENO, line); }

}  // namespace corvane
