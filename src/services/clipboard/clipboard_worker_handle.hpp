#pragma once
// The session's road to the clipboard worker: send a request, wait a
// bounded time for its answer, and start a fresh worker when the current
// one does not answer. The session is never held up by the clipboard for
// more than clipboard_answer_time per request.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "services/clipboard/clipboard_facility.hpp"
#include "services/clipboard/clipboard_worker.hpp"

namespace corvane {

inline constexpr std::chrono::milliseconds clipboard_answer_time{1500};

class ClipboardWorkerHandle {
 public:
  // The first request starts the first worker; every worker opens the
  // clipboard through opener.
  explicit ClipboardWorkerHandle(ClipboardOpener opener) : opener_(std::move(opener)) {}

  // Whether a desktop clipboard is open; false without an answer.
  bool probe();
  // Nothing when the worker did not answer.
  std::optional<ClipboardText> get();
  std::optional<uint8_t> set(std::string text);

 private:
  template <class Reply>
  std::optional<Reply> ask(ClipboardRequest request, Receiver<Reply> reply);
  bool send(ClipboardRequest request);
  void replace();

  ClipboardOpener opener_;
  std::mutex mutex_;
  std::optional<Sender<ClipboardRequest>> worker_;
};

// The process's own worker handle on the real desktop clipboard; created
// on first use and never freed, so the worker and its open clipboard
// outlive every session.
std::shared_ptr<ClipboardWorkerHandle> process_clipboard();

}  // namespace corvane
