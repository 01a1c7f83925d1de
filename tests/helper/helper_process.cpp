#include "helper_process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "fake_dri.hpp"

namespace scanwell_test {

namespace {

constexpr int child_setup_failed = 125;

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

struct Pipe {
  int read = -1;
  int write = -1;
};

Pipe make_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  return {ends[0], ends[1]};
}

// Between fork and exec: system calls only.
[[noreturn]] void become_helper(const HelperLaunch& launch, int descriptor, int error_out,
                                char* const argv[], char* const envp[]) {
  if (!enter_fake_dri()) ::_exit(child_setup_failed);
  if (::dup2(error_out, STDERR_FILENO) < 0) ::_exit(child_setup_failed);
  if (descriptor == 3) {
    if (::fcntl(3, F_SETFD, 0) != 0) ::_exit(child_setup_failed);
  } else if (descriptor >= 0) {
    if (::dup2(descriptor, 3) < 0) ::_exit(child_setup_failed);
  } else {
    ::close(3);
  }
  ::close_range(4, ~0U, 0);
  if (launch.drop_sys_admin && ::prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN, 0, 0, 0) != 0) ::_exit(child_setup_failed);
  if (launch.run_as) {
    gid_t group = static_cast<gid_t>(*launch.run_as);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(group, group, group) != 0 || ::setresuid(*launch.run_as, *launch.run_as, *launch.run_as) != 0) {
      ::_exit(child_setup_failed);
    }
  }
  ::execve(argv[0], argv, envp);
  ::_exit(child_setup_failed);
}

}  // namespace

std::string helper_path() { return SCANWELL_HELPER_PATH; }

HelperProcess::HelperProcess(const HelperLaunch& launch) {
  std::string program = helper_path();
  std::vector<std::string> arguments{program};
  arguments.insert(arguments.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::string preload = "LD_PRELOAD=" + launch.preload;
  std::vector<char*> envp;
  if (!launch.preload.empty()) envp.push_back(preload.data());
  envp.push_back(nullptr);

  Pipe errors = make_pipe();
  int theirs = -1;
  if (launch.descriptor == Descriptor3::socket) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw std::runtime_error("socketpair failed");
    socket_ = pair[0];
    theirs = pair[1];
  }
  Pipe descriptor_pipe;
  if (launch.descriptor == Descriptor3::pipe) {
    descriptor_pipe = make_pipe();
    theirs = descriptor_pipe.read;
  }

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) become_helper(launch, theirs, errors.write, argv.data(), envp.data());

  ::close(errors.write);
  error_pipe_ = errors.read;
  if (theirs >= 0) ::close(theirs);
  if (descriptor_pipe.write >= 0) ::close(descriptor_pipe.write);
}

HelperProcess::~HelperProcess() {
  close_socket();
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (error_pipe_ >= 0) ::close(error_pipe_);
}

void HelperProcess::close_socket() {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

void HelperProcess::send(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t sent = ::send(socket_, bytes, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) throw std::runtime_error("send to the helper failed");
    bytes += sent;
    size -= static_cast<std::size_t>(sent);
  }
}

std::string HelperProcess::read_to_end() {
  ::shutdown(socket_, SHUT_WR);
  return read_all(socket_);
}

int HelperProcess::wait() {
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status) && WEXITSTATUS(status) == child_setup_failed) {
    throw std::runtime_error("the helper's process could not be set up");
  }
  return status;
}

std::string HelperProcess::standard_error() { return read_all(error_pipe_); }

}  // namespace scanwell_test
