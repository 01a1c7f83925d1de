#include "system/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "system/spawn_setup.hpp"

extern char** environ;

namespace corvane {
namespace {

void add_stdio(SpawnFileActions& actions, ChildStdio stdio, int fd, int flags) {
  if (stdio == ChildStdio::null_device) {
    ::posix_spawn_file_actions_addopen(actions.get(), fd, "/dev/null", flags, 0);
  }
}

// Default dispositions for the signals the service handles.
sigset_t handled_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&signals, signal_number);
  return signals;
}

}  // namespace

std::expected<ChildProcess, int> ChildProcess::spawn(const std::string& program,
                                                     const std::vector<std::string>& args,
                                                     ChildStdioSetup stdio) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  SpawnFileActions actions;
  add_stdio(actions, stdio.input, STDIN_FILENO, O_RDONLY);
  add_stdio(actions, stdio.output, STDOUT_FILENO, O_WRONLY);
  add_stdio(actions, stdio.error, STDERR_FILENO, O_WRONLY);
  SpawnAttributes attributes;
  attributes.reset_signals(handled_signals());

  pid_t pid = -1;
  int error = ::posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(),
                             environ);
  if (error != 0) return std::unexpected(error);
  return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    kill_and_reap();
    pid_ = std::exchange(other.pid_, -1);
  }
  return *this;
}

ChildProcess::~ChildProcess() { kill_and_reap(); }

std::expected<int, int> ChildProcess::wait() {
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) {
      int error = errno;
      pid_ = -1;
      return std::unexpected(error);
    }
  }
  pid_ = -1;
  return status;
}

std::expected<ChildProcess::Poll, int> ChildProcess::try_wait() {
  int status = 0;
  pid_t ended = ::waitpid(pid_, &status, WNOHANG);
  if (ended < 0) return std::unexpected(errno);
  if (ended == 0) return Poll{};
  pid_ = -1;
  return Poll{true, status};
}

void ChildProcess::kill_and_reap() {
  if (!running()) return;
  ::kill(pid_, SIGKILL);
  (void)wait();
  pid_ = -1;
}

std::string describe_wait_status(int status) {
  if (WIFEXITED(status)) return "exit status: " + std::to_string(WEXITSTATUS(status));
  if (!WIFSIGNALED(status)) return "wait status: " + std::to_string(status);
  int signal_number = WTERMSIG(status);
  std::string text = "signal: " + std::to_string(signal_number);
  if (const char* name = ::sigabbrev_np(signal_number)) text += std::string(" (SIG") + name + ")";
  if (WCOREDUMP(status)) text += " (core dumped)";
  return text;
}

}  // namespace corvane
