#pragma once
// Runs a piece of a test in a forked child. The capture library binding
// loads once per process, so every case that needs its own library (or
// none) gets a process of its own.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

namespace corvane::test {

template <class T>
struct Isolated {
  T value{};            // what the body returned
  std::string log;      // everything the child wrote to standard error
  bool exited = false;  // the child ended normally, not by a signal
};

// Runs body() in a child and passes its (trivially copyable) result back
// through shared memory.
template <class Body, class T = std::invoke_result_t<Body>>
Isolated<T> run_isolated(Body body) {
  static_assert(std::is_trivially_copyable_v<T>);
  void* shared =
      ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  int log_fd = ::memfd_create("isolated-stderr", MFD_CLOEXEC);
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(log_fd, STDERR_FILENO);
    T value = body();
    std::memcpy(shared, &value, sizeof(T));
    ::_exit(0);
  }
  Isolated<T> outcome;
  int status = 0;
  ::waitpid(child, &status, 0);
  outcome.exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::memcpy(&outcome.value, shared, sizeof(T));
  char buffer[4096];
  for (off_t offset = 0;;) {
    ssize_t got = ::pread(log_fd, buffer, sizeof buffer, offset);
    if (got <= 0) break;
    outcome.log.append(buffer, static_cast<size_t>(got));
    offset += got;
  }
  ::close(log_fd);
  ::munmap(shared, sizeof(T));
  return outcome;
}

}  // namespace corvane::test
