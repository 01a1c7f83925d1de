#pragma once
// The slot where a verified self-update waits for the session to end. The
// USB reader stores it, the run loop takes it after the session.
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>

#include "services/install_target.hpp"

namespace corvane {

struct StagedUpdate {
  InstallTarget target;
  // The verified package, at the target's staging path.
  std::filesystem::path package;
};

class StagedSlot {
 public:
  void store(StagedUpdate update) {
    std::lock_guard lock(staged_update_lock_);
    update_ = std::move(update);
  }
  bool holds_package() const {
    std::lock_guard lock(staged_update_lock_);
    return update_.has_value();
  }
  std::optional<StagedUpdate> take() {
    std::lock_guard lock(staged_update_lock_);
    return std::exchange(update_, std::nullopt);
  }

 private:
  mutable std::mutex staged_update_lock_;
  std::optional<StagedUpdate> update_;
};

}  // namespace corvane
