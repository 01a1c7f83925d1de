#pragma once
// Runs the built corvane against a private view of the machine: /etc and
// /usr are overlays whose changes land in this sandbox's folder, /run and
// /sys are fixture folders, HOME is a fresh folder, and PATH holds only
// stand-in programs that record how they were called. The machine's own
// files are never touched, and no real systemctl or udevadm ever runs.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/program.hpp"
#include "support/temp_dir.hpp"

namespace corvane::test {

class Sandbox {
 public:
  Sandbox();

  std::filesystem::path home() const { return dir_ / "home"; }
  std::filesystem::path bin() const { return dir_ / "bin"; }
  // What the program sees as /sys and /run.
  std::filesystem::path sys() const { return dir_ / "sys"; }
  std::filesystem::path run_dir() const { return dir_ / "run"; }
  // Files the program created or changed under /etc and /usr.
  std::filesystem::path etc_changes() const { return dir_ / "etc-upper"; }
  std::filesystem::path usr_changes() const { return dir_ / "usr-upper"; }
  const TempDir& dir() const { return dir_; }

  // A program on PATH that records "name arg1 arg2 ..." and exits with the
  // status given for the first matching argument list ("*" matches any),
  // else 0. A status of -9 makes it kill itself with SIGKILL.
  void stand_in(const std::string& name, const std::map<std::string, int>& statuses = {});
  // Every recorded call, in order.
  std::vector<std::string> calls() const;

  struct Run {
    bool as_root = false;                 // else a desktop user (uid 1000)
    std::vector<std::string> env;         // added to HOME and PATH
    std::vector<std::string> setup;       // shell lines run as root inside first
    std::filesystem::path program;        // default: the built corvane
  };
  ProgramResult run(const std::vector<std::string>& args, const Run& how) const;
  ProgramResult run_as_user(const std::vector<std::string>& args,
                            std::vector<std::string> env = {}) const {
    return run(args, {.env = std::move(env)});
  }

 private:
  TempDir dir_;
};

// The corvane program under test.
std::filesystem::path corvane_binary();

}  // namespace corvane::test
