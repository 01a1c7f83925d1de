#pragma once
// Log lines go to descriptor 2 with one write each; a test reads them back
// by pointing that descriptor at a file for its lifetime.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/temp_dir.hpp"

namespace corvane::test {

class StderrCapture {
 public:
  StderrCapture() {
    saved_ = ::dup(2);
    int fd = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~StderrCapture() {
    ::dup2(saved_, 2);
    ::close(saved_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string text() const { return read_file(dir_ / "stderr"); }

  // Waits (up to a generous bound) until the log holds piece.
  bool wait_for(const std::string& piece) const {
    for (int i = 0; i < 2000; ++i) {
      if (text().find(piece) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  size_t count(const std::string& piece) const {
    auto all = text();
    size_t found = 0;
    for (auto at = all.find(piece); at != std::string::npos; at = all.find(piece, at + 1)) ++found;
    return found;
  }

 private:
  TempDir dir_;
  int saved_ = -1;
};

// Polls condition until it holds, up to a generous bound.
template <class Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 2000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

}  // namespace corvane::test
