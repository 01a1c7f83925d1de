#pragma once
// The session's side of the clipboard: whether the KVM may use it in this
// session, and its clipboard requests answered through the worker.
#include <memory>

#include "services/clipboard/clipboard_worker_handle.hpp"
#include "session/kvm_event.hpp"
#include "session/outbound_command.hpp"
#include "system/channel.hpp"

namespace corvane {

class ClipboardSession {
 public:
  explicit ClipboardSession(std::shared_ptr<ClipboardWorkerHandle> worker)
      : worker_(std::move(worker)) {}

  // Handles clipboard.config, clipboard.get and clipboard.set, waiting for
  // the worker's answer where one is needed; false for any other message.
  bool handle(KvmEvent& event, const Sender<OutboundCommand>& outbound);

  bool enabled() const { return enabled_; }

 private:
  std::shared_ptr<ClipboardWorkerHandle> worker_;
  // Every session starts with the clipboard switched off.
  bool enabled_ = false;
};

}  // namespace corvane
