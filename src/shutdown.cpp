#include "shutdown.hpp"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <cerrno>

namespace corvane {
namespace {

sem_t wake_watcher;

extern "C" void on_shutdown_signal(int) {
  int saved_errno = errno;
  ::sem_post(&wake_watcher);
  errno = saved_errno;
}

extern "C" void* watch_for_shutdown(void* argument) {
  std::unique_ptr<StopFlag> stop(static_cast<StopFlag*>(argument));
  for (;;) {
    if (::sem_wait(&wake_watcher) == 0) (*stop)->store(true);
  }
  return nullptr;
}

Result<> refuse(int error_number) {
  return fail("install the shutdown handler: " + os_error_text(error_number));
}

}  // namespace

Result<> install_shutdown_handler(StopFlag stop) {
  static bool installed = false;
  if (installed) return fail("install the shutdown handler: already installed");
  if (::sem_init(&wake_watcher, 0, 0) != 0) return refuse(errno);

  auto* argument = new StopFlag(std::move(stop));
  pthread_t watcher;
  if (int error = ::pthread_create(&watcher, nullptr, watch_for_shutdown, argument); error != 0) {
    delete argument;
    return refuse(error);
  }
  ::pthread_setname_np(watcher, "shutdown");
  ::pthread_detach(watcher);

  struct sigaction action {};
  action.sa_handler = on_shutdown_signal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    if (::sigaction(signal_number, &action, nullptr) != 0) return refuse(errno);
  }
  installed = true;
  return {};
}

}  // namespace corvane
