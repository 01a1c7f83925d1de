#include "termination_signal.hpp"

#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>

namespace corvane::lab {

Result<UniqueFd> termination_signal_fd() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  if (int error = ::pthread_sigmask(SIG_BLOCK, &signals, nullptr); error != 0) {
    return fail("block termination signals: " + os_error_text(error));
  }
  UniqueFd fd(::signalfd(-1, &signals, SFD_CLOEXEC));
  if (!fd) return fail("signalfd: " + os_error_text(errno));
  return fd;
}

}  // namespace corvane::lab
