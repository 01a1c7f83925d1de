#include "support/program.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/temp_dir.hpp"

namespace corvane::test {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

RunningProgram::RunningProgram(const std::vector<std::string>& argv,
                               const ProgramOptions& options) {
  int out_pipe[2];
  int err_pipe[2];
  int terminal = -1;
  if (options.stdout_on_terminal) {
    if (::openpty(&out_pipe[0], &terminal, nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    out_pipe[1] = terminal;
    ::fcntl(out_pipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(terminal, F_SETFD, FD_CLOEXEC);
  } else if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& entry : options.env) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    ::execve(args[0], args.data(), env.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

// Reads what is available within wait.
void RunningProgram::pump(std::chrono::milliseconds wait) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0) return;
  std::string* sinks[2] = {&result_.out, &result_.err};
  int* owners[2] = {&out_fd_, &err_fd_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char buffer[4096];
    ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
    if (got > 0) {
      sinks[i]->append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {  // a pty reports EIO once the child is gone
      ::close(fds[i].fd);
      *owners[i] = -1;
    }
  }
}

bool RunningProgram::wait_for_stderr(const std::string& text, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (result_.err.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline || err_fd_ < 0) return false;
    pump(std::chrono::milliseconds(50));
  }
  return true;
}

void RunningProgram::send_signal(int signal_number) { ::kill(pid_, signal_number); }

ProgramResult RunningProgram::finish(std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    pid_t ended = ::waitpid(pid_, &status, WNOHANG);
    if (ended == pid_) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    pump(std::chrono::milliseconds(20));
  }
  pid_ = -1;
  // Output still in the pipes; a child left behind by the program may hold
  // them open, so draining is bounded.
  auto drained = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while ((out_fd_ >= 0 || err_fd_ >= 0) && std::chrono::steady_clock::now() < drained) {
    pump(std::chrono::milliseconds(50));
  }
  if (WIFEXITED(status)) result_.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
  return result_;
}

ProgramResult run_program(const std::vector<std::string>& argv, const ProgramOptions& options) {
  RunningProgram program(argv, options);
  return program.finish();
}

}  // namespace corvane::test
