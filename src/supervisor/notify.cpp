#include "supervisor/notify.hpp"

#include <unistd.h>

#include "log.hpp"
#include "system/child_process.hpp"

namespace corvane {

void notify_user(const std::string& text, bool urgent) {
  if (::isatty(STDOUT_FILENO)) {
    if (!urgent) print_line(text);
    return;
  }
  auto child = ChildProcess::spawn(
      "notify-send", {"--urgency", urgent ? "critical" : "normal", "Corvane", text});
  if (child) (void)child->wait();
}

}  // namespace corvane
