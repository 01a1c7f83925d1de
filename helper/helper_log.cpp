#include "helper_log.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace scanwell {

namespace {

constexpr char prefix[] = "scanwell-helper: ";

void write_line(const char* line, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(STDERR_FILENO, line, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    line += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void helper_log(const char* format, ...) {
  char line[1024];
  std::memcpy(line, prefix, sizeof prefix - 1);
  std::size_t room = sizeof line - sizeof prefix;  // keeps one byte for the newline
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(line + sizeof prefix - 1, room, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  std::size_t text = static_cast<std::size_t>(length) < room ? static_cast<std::size_t>(length) : room - 1;
  std::size_t end = sizeof prefix - 1 + text;
  line[end] = '\n';
  write_line(line, end + 1);
}

void helper_perror(const char* what) {
  int error = errno;
  helper_log("%s: %s", what, std::strerror(error));
}

}  // namespace scanwell
