#pragma once
// A slot for the first failure text of a session: later texts are neither
// stored nor reported, so the session ends with the cause, not an echo.
#include <mutex>
#include <optional>
#include <string>

namespace corvane {

class FailureSlot {
 public:
  // true when this text was the first and is now stored.
  bool store_first(std::string text) {
    std::lock_guard lock(mutex_);
    if (text_) return false;
    text_ = std::move(text);
    return true;
  }

  std::optional<std::string> stored() const {
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> text_;
};

}  // namespace corvane
