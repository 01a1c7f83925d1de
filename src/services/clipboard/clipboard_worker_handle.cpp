#include "services/clipboard/clipboard_worker_handle.hpp"

#include "log.hpp"
#include "services/clipboard/desktop_clipboard.hpp"

namespace corvane {

bool ClipboardWorkerHandle::probe() {
  auto reply = make_channel<bool>();
  return ask(ClipboardRequest{ProbeRequest{std::move(reply.sender)}}, std::move(reply.receiver))
      .value_or(false);
}

std::optional<ClipboardText> ClipboardWorkerHandle::get() {
  auto reply = make_channel<ClipboardText>();
  return ask(ClipboardRequest{GetRequest{std::move(reply.sender)}}, std::move(reply.receiver));
}

std::optional<uint8_t> ClipboardWorkerHandle::set(std::string text) {
  auto reply = make_channel<uint8_t>();
  return ask(ClipboardRequest{SetRequest{std::move(reply.sender), std::move(text)}},
             std::move(reply.receiver));
}

template <class Reply>
std::optional<Reply> ClipboardWorkerHandle::ask(ClipboardRequest request, Receiver<Reply> reply) {
  // A request that could not be queued is dropped here with its reply
  // channel, so the wait below sees the channel closed at once.
  send(std::move(request));
  auto received = reply.receive(clipboard_answer_time);
  if (received.status == ReceiveStatus::message) return std::move(received.message);
  log_line("corvane: clipboard worker did not answer; replacing it");
  replace();
  return std::nullopt;
}

bool ClipboardWorkerHandle::send(ClipboardRequest request) {
  std::lock_guard lock(mutex_);
  if (!worker_) {
    auto started = start_clipboard_worker(opener_);
    if (!started) {
      log_line("corvane: " + started.error().message);
      return false;
    }
    worker_.emplace(std::move(*started));
  }
  return worker_->send(std::move(request));
}

// The old worker is left alone: it may be stuck in the clipboard facility,
// and ends by itself once that call returns and it finds its queue closed.
void ClipboardWorkerHandle::replace() {
  auto started = start_clipboard_worker(opener_);
  std::lock_guard lock(mutex_);
  worker_.reset();
  if (!started) {
    log_line("corvane: " + started.error().message);
    return;
  }
  worker_.emplace(std::move(*started));
}

std::shared_ptr<ClipboardWorkerHandle> process_clipboard() {
  static const auto handle = std::make_shared<ClipboardWorkerHandle>(open_desktop_clipboard);
  return handle;
}

}  // namespace corvane
