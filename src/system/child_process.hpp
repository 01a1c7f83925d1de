#pragma once
#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

enum class ChildStdio { inherit, null_device };

struct ChildStdioSetup {
  ChildStdio input = ChildStdio::inherit;
  ChildStdio output = ChildStdio::inherit;
  ChildStdio error = ChildStdio::inherit;
};

// One started child process. The owner waits for it; a child that is still
// running when its owner drops it is killed and reaped, so none is left
// behind as a zombie or an orphan.
class ChildProcess {
 public:
  // Starts program, found through PATH, with args after the program name.
  // Fails with the errno of the start (ENOENT when there is no such program).
  static std::expected<ChildProcess, int> spawn(const std::string& program,
                                                const std::vector<std::string>& args,
                                                ChildStdioSetup stdio = {});
  // Takes charge of a child that was started another way.
  static ChildProcess adopt(pid_t pid) { return ChildProcess(pid); }

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

  // Blocks until the child ends; returns its wait status.
  std::expected<int, int> wait();
  // Never blocks: whether the child has ended, and its wait status if so.
  struct Poll {
    bool ended = false;
    int status = 0;
  };
  std::expected<Poll, int> try_wait();
  // SIGKILL and reap, if it still runs.
  void kill_and_reap();

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_ = -1;
};

// A wait status in the platform's words: "exit status: 3", "signal: 9 (SIGKILL)".
std::string describe_wait_status(int status);

}  // namespace corvane
