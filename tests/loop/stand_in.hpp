#pragma once
// Stand-in programs for the dialogs and the privilege tool: the only thing
// on PATH, each records its arguments (NUL-separated, one call a line
// file) and its process id, then runs the body the test chose.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"
#include "system/clock.hpp"

namespace corvane::test {

class StandIns {
 public:
  StandIns() { ::setenv("PATH", dir_.path().c_str(), 1); }

  void add(const std::string& name, const std::string& body) {
    auto path = dir_ / name;
    write_file(path, "#!/bin/sh\nPATH=/usr/bin:/bin\nprintf '%s\\0' \"$@\" >> " +
                         (dir_ / (name + ".args")).string() + "\necho >> " +
                         (dir_ / (name + ".calls")).string() + "\necho $$ > " +
                         (dir_ / (name + ".pid")).string() + "\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
  }

  // Every argument of every call, in order.
  std::vector<std::string> args(const std::string& name) const {
    auto path = dir_ / (name + ".args");
    if (!std::filesystem::exists(path)) return {};
    auto all = read_file(path);
    std::vector<std::string> result;
    for (size_t start = 0, end; (end = all.find('\0', start)) != std::string::npos;
         start = end + 1) {
      result.push_back(all.substr(start, end - start));
    }
    return result;
  }

  size_t calls(const std::string& name) const {
    auto path = dir_ / (name + ".calls");
    return std::filesystem::exists(path) ? read_file(path).size() : 0;
  }

  // The process id of the latest call, 0 before the first.
  pid_t pid(const std::string& name) const {
    auto path = dir_ / (name + ".pid");
    if (!std::filesystem::exists(path)) return 0;
    return static_cast<pid_t>(std::atoi(read_file(path).c_str()));
  }

 private:
  TempDir dir_;
};

// Simulated time that still yields a moment of real time at every sleep,
// so that polling loops let child processes and other threads move.
class YieldingClock final : public Clock {
 public:
  time_point now() override { return start_ + duration(offset_.load()); }
  void sleep_for(duration length) override {
    offset_ += length.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void wait_until(std::unique_lock<std::mutex>&, std::condition_variable&,
                  time_point deadline) override {
    auto current = now();
    if (deadline > current) sleep_for(deadline - current);
  }
  duration elapsed() const { return duration(offset_.load()); }

 private:
  time_point start_ = std::chrono::steady_clock::now();
  std::atomic<duration::rep> offset_{0};
};

}  // namespace corvane::test
