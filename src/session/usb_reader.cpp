#include "session/usb_reader.hpp"

#include <chrono>

#include "session/decode.hpp"
#include "session/frame.hpp"
#include "session/settings.hpp"

namespace corvane {
namespace {

constexpr std::chrono::milliseconds read_timeout{50};
constexpr const char* stopped_text = "the USB reader stopped";

// File and update traffic is handled here; false for everything else.
bool handled_on_reader(UsbReader& reader, KvmEvent& event) {
  if (auto* drop = std::get_if<FileDrop>(&event)) {
    reader.files.drop(std::move(*drop));
  } else if (auto* chunk = std::get_if<FileChunk>(&event)) {
    reader.files.chunk(*chunk);
  } else if (auto* cancel = std::get_if<FileCancel>(&event)) {
    reader.files.cancel(*cancel);
  } else if (auto* begin = std::get_if<UpdateBegin>(&event)) {
    reader.updates.begin(*begin);
  } else if (auto* update_chunk = std::get_if<UpdateChunk>(&event)) {
    reader.updates.chunk(*update_chunk);
  } else if (auto* update_cancel = std::get_if<UpdateCancel>(&event)) {
    reader.updates.cancel(*update_cancel);
  } else {
    return false;
  }
  return true;
}

// The file-drop service follows files_enabled on its own, before the hub
// sees the settings. Settings that do not parse are left to the hub, which
// ends the session with the error.
void apply_settings(UsbReader& reader, const KvmEvent& event) {
  const auto* config = std::get_if<SessionConfig>(&event);
  if (!config) return;
  if (auto settings = parse_session_settings(config->json)) {
    reader.files.set_files_enabled(settings->files_enabled);
  }
}

// Returns the reason the reader stops.
std::string read_until_stopped(UsbReader& reader) {
  auto& buffer = reader.connection->receive_buffer();
  for (;;) {
    if (reader.stop->load()) return stopped_text;
    auto frame = read_frame(buffer);
    if (!frame) return frame.error().message;
    if (!frame->complete) {
      auto read = reader.connection->read(read_timeout);
      if (!read) return read.error().message;
      continue;
    }
    auto event = decode(frame->frame);
    if (!event) return event.error().message;
    if (std::holds_alternative<IgnoredMessage>(*event) || handled_on_reader(reader, *event)) {
      continue;
    }
    apply_settings(reader, *event);
    if (!reader.inbound.send(std::move(*event))) return stopped_text;
  }
}

}  // namespace

void run_usb_reader(UsbReader reader) {
  auto reason = read_until_stopped(reader);
  reader.inbound.send(ReaderStopped{std::move(reason)});
  reader.stop->store(true);
}

}  // namespace corvane
