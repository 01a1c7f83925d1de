#include "system/secure_random.hpp"

#include <sys/random.h>

#include <cerrno>

namespace corvane {

Result<> fill_secure_random(std::span<uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t got = ::getrandom(bytes.data(), bytes.size(), 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(os_error_text(errno));
    }
    bytes = bytes.subspan(static_cast<size_t>(got));
  }
  return {};
}

}  // namespace corvane
