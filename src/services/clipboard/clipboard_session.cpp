#include "services/clipboard/clipboard_session.hpp"

#include "session/encode.hpp"

namespace corvane {

bool ClipboardSession::handle(KvmEvent& event, const Sender<OutboundCommand>& outbound) {
  if (auto* config = std::get_if<ClipboardConfig>(&event)) {
    enabled_ = config->enabled;
    return true;
  }
  if (auto* get = std::get_if<ClipboardGet>(&event)) {
    ClipboardText answer{{}, false, clipboard_status::unavailable};
    if (enabled_) {
      answer = worker_->get().value_or(ClipboardText{{}, false, clipboard_status::failed});
    }
    outbound.send(service_message(
        encode_clipboard_data(get->request_id, answer.status, answer.truncated, answer.text)));
    return true;
  }
  if (auto* set = std::get_if<ClipboardSet>(&event)) {
    // While switched off the text is dropped unseen.
    uint8_t status = clipboard_status::unavailable;
    if (enabled_) status = worker_->set(std::move(set->text)).value_or(clipboard_status::failed);
    outbound.send(service_message(encode_clipboard_result(set->request_id, status)));
    return true;
  }
  return false;
}

}  // namespace corvane
