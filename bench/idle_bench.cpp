// What `corvane --run` costs while no KVM is plugged in: the service sits in
// the user's session all day, so its idle CPU time, resident memory and
// wake-ups matter more than any peak figure.
//
// Runs the built program for a while (2 s to start, then 30 s unless a
// number of seconds is given) with a private HOME and no desktop, then reports its CPU time as a
// share of one core, its peak resident set, and how often its threads woke
// up, each beside its goal.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Timer = std::chrono::steady_clock;

constexpr std::chrono::seconds warm_up{2};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "idle_bench: %s\n", what.c_str());
  std::exit(1);
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Time spent on a CPU by all living threads, in seconds, from the
// scheduler's own nanosecond account (utime/stime are counted in ticks and
// charge a whole tick to whoever runs when it fires, which makes short
// wake-ups look far dearer or cheaper than they are).
double cpu_seconds(pid_t pid) {
  unsigned long long nanoseconds = 0;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::istringstream fields(read_text(task.path() / "schedstat"));
    unsigned long long on_cpu = 0;
    if (fields >> on_cpu) nanoseconds += on_cpu;
  }
  if (error) die("cannot read the threads of the service: " + error.message());
  return static_cast<double>(nanoseconds) / 1e9;
}

unsigned long long status_field(const fs::path& status_file, const std::string& name) {
  std::istringstream lines(read_text(status_file));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1));
  }
  return 0;
}

// Context switches of every thread: each one is a wake-up of some thread.
unsigned long long context_switches(pid_t pid) {
  unsigned long long total = 0;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    total += status_field(task.path() / "status", "voluntary_ctxt_switches");
    total += status_field(task.path() / "status", "nonvoluntary_ctxt_switches");
  }
  return total;
}

pid_t start_service(const std::string& program, const fs::path& home, const fs::path& log) {
  ::setenv("HOME", home.c_str(), 1);
  for (const char* name : {"XDG_CONFIG_HOME", "DISPLAY", "WAYLAND_DISPLAY", "APPIMAGE"}) {
    ::unsetenv(name);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("--run"),
                          nullptr};
  pid_t pid = -1;
  int started = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (started != 0) die("cannot start " + program + ": " + std::strerror(started));
  return pid;
}

// Every failed attempt writes one error line; the update line is written
// once at the start.
// The floor under the same load: a process that does nothing but wake
// every 50 ms, as the service's pauses do.
pid_t start_bare_sleeper() {
  const pid_t pid = ::fork();
  if (pid < 0) die("cannot fork");
  if (pid == 0) {
    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return pid;
}

size_t failed_attempts(const fs::path& log) {
  std::istringstream lines(read_text(log));
  std::string line;
  size_t count = 0;
  while (std::getline(lines, line)) {
    count += line.rfind("corvane: ", 0) == 0 && line.find("cannot update itself") == std::string::npos;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
  const std::string program = argc > 2 ? argv[2] : CORVANE_PROGRAM;
  char pattern[] = "/tmp/corvane-idle.XXXXXX";
  if (!::mkdtemp(pattern)) die("cannot create a temporary folder");
  const fs::path home = pattern;
  const fs::path log = home / "stderr.log";

  const auto started = Timer::now();
  const pid_t pid = start_service(program, home, log);
  const pid_t sleeper = start_bare_sleeper();
  // Start-up (loading libraries, the first attempt) is paid once; the
  // steady share is what the user pays all day.
  std::this_thread::sleep_for(warm_up);
  const double cpu_at_warm = cpu_seconds(pid);
  const double sleeper_at_warm = cpu_seconds(sleeper);
  const auto warm = Timer::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double steady_wall = std::chrono::duration<double>(Timer::now() - warm).count();
  const double wall = std::chrono::duration<double>(Timer::now() - started).count();
  const double cpu = cpu_seconds(pid);
  const double sleeper_share = 100.0 * (cpu_seconds(sleeper) - sleeper_at_warm) / steady_wall;
  ::kill(sleeper, SIGKILL);
  ::waitpid(sleeper, nullptr, 0);
  const auto peak_kib = status_field("/proc/" + std::to_string(pid) + "/status", "VmHWM");
  const auto switches = context_switches(pid);
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const auto attempts = failed_attempts(log);
  fs::remove_all(home);

  const double core_share = 100.0 * (cpu - cpu_at_warm) / steady_wall;
  const double peak_mib = static_cast<double>(peak_kib) / 1024.0;
  std::printf("corvane --run with no KVM for %.1f s (%zu connection attempts)\n", wall, attempts);
  std::printf("  CPU: %.3f s in all, %.3f s in the first %.0f s\n", cpu, cpu_at_warm,
              std::chrono::duration<double>(warm_up).count());
  std::printf("  steady CPU: %.4f %% of one core      (goal < 0.1 %%)\n", core_share);
  std::printf("  a bare 50 ms sleep loop beside it: %.4f %% (ratio %.1f)\n", sleeper_share,
              sleeper_share > 0 ? core_share / sleeper_share : 0.0);
  std::printf("  peak resident: %.1f MiB               (goal < 30 MB)\n", peak_mib);
  std::printf("  wake-ups: %.1f per second             (goal <= 20, one per 50 ms)\n",
              static_cast<double>(switches) / wall);
  const bool clean_exit = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!clean_exit) std::printf("  the service did not exit with status 0 on SIGTERM\n");
  return clean_exit ? 0 : 1;
}
