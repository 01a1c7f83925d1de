#include "desktop_peers.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "system/unique_fd.hpp"

namespace corvane::test {
namespace {

constexpr uid_t nobody = 65534;

// The display number Xvfb writes to the descriptor once it accepts
// connections; empty when it does not within ten seconds.
std::string read_display_number(int fd) {
  std::string number;
  for (;;) {
    pollfd descriptor{fd, POLLIN, 0};
    if (::poll(&descriptor, 1, 10000) <= 0) return {};
    char c = 0;
    if (::read(fd, &c, 1) != 1) return {};
    if (c == '\n') return number;
    number += c;
  }
}

// Asked to end rather than killed, so that it removes its socket and lock.
void terminate(std::optional<ChildProcess>& child) {
  if (!child) return;
  ::kill(child->pid(), SIGTERM);
  child->wait();
  child.reset();
}

}  // namespace

Xvfb::Xvfb() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return;
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  // Xvfb writes to this end, so it must survive the exec.
  ::fcntl(write_end.get(), F_SETFD, 0);
  auto server = ChildProcess::spawn(
      "Xvfb", {"-displayfd", std::to_string(write_end.get()), "-nolisten", "tcp", "-noreset", "-screen", "0",
               "800x600x24"},
      {.input = ChildStdio::null_device, .output = ChildStdio::null_device,
       .error = ChildStdio::null_device});
  write_end.reset();
  if (!server) return;
  server_.emplace(std::move(*server));
  auto number = read_display_number(read_end.get());
  if (number.empty()) return;
  display_ = ":" + number;
  ::setenv("DISPLAY", display_.c_str(), 1);
  ::unsetenv("WAYLAND_DISPLAY");
}

Xvfb::~Xvfb() {
  terminate(server_);
  ::unsetenv("DISPLAY");
}

HeadlessSway::HeadlessSway() {
  const auto folder = runtime_.path();
  write_file(folder / "config", "xwayland disable\n");
  ::chmod(folder.c_str(), 0700);
  std::vector<std::string> command{"XDG_RUNTIME_DIR=" + folder.string(),
                                   "HOME=" + folder.string(), "WLR_BACKENDS=headless",
                                   "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"};
  if (::getuid() == 0) {
    ::chown(folder.c_str(), nobody, nobody);
    command.insert(command.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  command.insert(command.end(), {"sway", "-c", (folder / "config").string()});
  auto compositor = ChildProcess::spawn(
      "env", command,
      {.input = ChildStdio::null_device, .output = ChildStdio::null_device,
       .error = ChildStdio::null_device});
  if (!compositor) return;
  compositor_.emplace(std::move(*compositor));
  bool listening = within_ten_seconds([&] {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      auto name = entry.path().filename().string();
      if (name.starts_with("wayland-") && !name.ends_with(".lock") && entry.is_socket()) {
        display_ = name;
        return true;
      }
    }
    return false;
  });
  if (!listening) return;
  ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
  ::setenv("WAYLAND_DISPLAY", display_.c_str(), 1);
  ::unsetenv("DISPLAY");
}

HeadlessSway::~HeadlessSway() {
  // The compositor goes before its folder.
  terminate(compositor_);
  ::unsetenv("WAYLAND_DISPLAY");
}

ShellResult run_shell(const std::string& command) {
  TempDir folder;
  const auto output = folder / "output";
  auto child = ChildProcess::spawn("sh", {"-c", command + " > '" + output.string() + "'"});
  if (!child) return {};
  auto status = child->wait();
  if (!status) return {};
  return {*status, read_file(output)};
}

std::optional<ChildProcess> start_with_input(const std::filesystem::path& input,
                                             const std::string& command) {
  auto child = ChildProcess::spawn("sh", {"-c", "exec " + command + " < '" + input.string() + "'"},
                                   {.output = ChildStdio::null_device,
                                    .error = ChildStdio::null_device});
  if (!child) return std::nullopt;
  return std::move(*child);
}

}  // namespace corvane::test
