#pragma once
// A desktop clipboard in memory behind the facility interface. The test
// and every facility the opener hands out share one state, so the test
// sets and inspects what the worker sees; reads can be made to hang until
// released, as a facility stuck in a call would.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "services/clipboard/clipboard_facility.hpp"

namespace corvane::test {

class StandInClipboard {
 public:
  struct State {
    std::mutex mutex;
    std::condition_variable released;
    bool openable = true;
    std::string open_error = "no X11 display: DISPLAY is not set";
    int opens = 0;
    std::optional<std::string> text;
    std::optional<ClipboardFailure> read_failure;
    std::optional<ClipboardFailure> write_failure;
    bool reads_hang = false;
  };

  StandInClipboard() = default;
  StandInClipboard(const StandInClipboard&) = delete;
  StandInClipboard& operator=(const StandInClipboard&) = delete;
  ~StandInClipboard() { release_reads(); }

  ClipboardOpener opener() const {
    return [state = state_]() -> Result<std::unique_ptr<ClipboardFacility>> {
      std::lock_guard lock(state->mutex);
      if (!state->openable) return fail(state->open_error);
      ++state->opens;
      return std::make_unique<Facility>(state);
    };
  }

  template <class Change>
  void with_state(Change change) {
    std::lock_guard lock(state_->mutex);
    change(*state_);
  }
  void set_text(std::optional<std::string> text) {
    with_state([&](State& state) { state.text = std::move(text); });
  }
  std::optional<std::string> text() {
    std::lock_guard lock(state_->mutex);
    return state_->text;
  }
  int opens() {
    std::lock_guard lock(state_->mutex);
    return state_->opens;
  }
  void release_reads() {
    with_state([](State& state) { state.reads_hang = false; });
    state_->released.notify_all();
  }

 private:
  class Facility final : public ClipboardFacility {
   public:
    explicit Facility(std::shared_ptr<State> state) : state_(std::move(state)) {}
    ClipboardResult<std::string> read_text() override {
      std::unique_lock lock(state_->mutex);
      state_->released.wait(lock, [&] { return !state_->reads_hang; });
      if (state_->read_failure) return std::unexpected(*state_->read_failure);
      if (!state_->text) return clipboard_failure(ClipboardFailureKind::no_text);
      return *state_->text;
    }
    ClipboardResult<> write_text(std::string text) override {
      std::lock_guard lock(state_->mutex);
      if (state_->write_failure) return std::unexpected(*state_->write_failure);
      state_->text = std::move(text);
      return {};
    }

   private:
    std::shared_ptr<State> state_;
  };

  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace corvane::test
