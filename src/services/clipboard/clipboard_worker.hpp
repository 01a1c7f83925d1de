#pragma once
// The thread "clipboard": the only thread that touches the desktop
// clipboard. It takes requests from its queue until the queue closes; each
// request brings its own reply channel, so an answer that comes too late
// can never be taken for the answer to a newer request.
#include <cstdint>
#include <string>
#include <variant>

#include "error.hpp"
#include "services/clipboard/clipboard_facility.hpp"
#include "system/channel.hpp"

namespace corvane {

// The codes that travel to the KVM in clipboard.data and clipboard.result.
namespace clipboard_status {
inline constexpr uint8_t done = 0;
inline constexpr uint8_t unavailable = 1;
inline constexpr uint8_t no_text = 2;
inline constexpr uint8_t failed = 4;
}  // namespace clipboard_status

// The longest text that fits into one clipboard.data.
inline constexpr size_t clipboard_text_limit = 65528;

struct ClipboardText {
  std::string text;
  bool truncated = false;
  uint8_t status = clipboard_status::done;
};

struct ProbeRequest {
  Sender<bool> reply;
};

struct GetRequest {
  Sender<ClipboardText> reply;
};

struct SetRequest {
  Sender<uint8_t> reply;
  std::string text;
};

using ClipboardRequest = std::variant<ProbeRequest, GetRequest, SetRequest>;

// Cuts text to at most limit bytes, at the start of a character.
// Returns whether anything was cut.
bool cut_on_character_boundary(std::string& text, size_t limit = clipboard_text_limit);

// Starts a detached worker that opens the clipboard through opener when a
// request needs it and ends when the returned queue's senders are gone.
Result<Sender<ClipboardRequest>> start_clipboard_worker(ClipboardOpener opener);

}  // namespace corvane
