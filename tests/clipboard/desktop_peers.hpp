#pragma once
// Real display servers for the clipboard's tests, each started privately
// for one test and stopped at its end, and the other programs that use
// their clipboards. A missing program fails the test: CI installs them.
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"
#include "system/child_process.hpp"

namespace corvane::test {

// Xvfb on a display number of its own choosing; DISPLAY names it while it
// lives and WAYLAND_DISPLAY is unset.
class Xvfb {
 public:
  Xvfb();
  ~Xvfb();
  bool started() const { return !display_.empty(); }
  const std::string& display() const { return display_; }

 private:
  std::optional<ChildProcess> server_;
  std::string display_;
};

// A headless sway with its own XDG_RUNTIME_DIR, which WAYLAND_DISPLAY and
// XDG_RUNTIME_DIR name while it lives; DISPLAY is unset.
//
// What it takes to run sway here, as root in a container without a GPU,
// input devices or a seat manager:
// - WLR_BACKENDS=headless: outputs without a display device;
// - WLR_RENDERER=pixman: software rendering, no EGL device needed;
// - WLR_LIBINPUT_NO_DEVICES=1: start although no input device exists;
// - XDG_RUNTIME_DIR: a private folder, mode 0700, owned by sway's user,
//   where it puts its socket;
// - a config file of its own (-c), so no user or system config is read;
//   "xwayland disable" keeps it from looking for Xwayland;
// - not root: sway 1.7 refuses to start when it could regain root after
//   dropping it, which is always the case for uid 0, so it runs under
//   setpriv as nobody (65534); clients running as root still connect.
class HeadlessSway {
 public:
  HeadlessSway();
  ~HeadlessSway();
  bool started() const { return !display_.empty(); }

 private:
  TempDir runtime_;
  std::optional<ChildProcess> compositor_;
  std::string display_;
};

// Runs a shell command line to its end; its standard output.
struct ShellResult {
  int status = -1;
  std::string output;
};
ShellResult run_shell(const std::string& command);

// Starts a program with its standard input from a file; for programs that
// serve the clipboard until they are stopped.
std::optional<ChildProcess> start_with_input(const std::filesystem::path& input,
                                             const std::string& command);

// Polls condition every 10 ms for up to ten seconds.
template <class Condition>
bool within_ten_seconds(Condition condition) {
  for (int i = 0; i < 1000; ++i) {
    if (condition()) return true;
    ::usleep(10000);
  }
  return condition();
}

}  // namespace corvane::test
