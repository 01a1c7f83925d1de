#include "session/usb_reader.hpp"

#include <chrono>

#include "session/decode.hpp"
#include "session/frame.hpp"

namespace corvane {
namespace {

constexpr std::chrono::milliseconds read_timeout{50};
constexpr const char* stopped_text = "the USB reader stopped";

// File and update traffic belongs to the file-drop service and the update
// receiver, which run on this thread; until they are part of the session
// it is not passed on, so that it never reaches the run loop.
bool handled_on_reader(const KvmEvent& event) {
  return std::holds_alternative<FileDrop>(event) || std::holds_alternative<FileChunk>(event) ||
         std::holds_alternative<FileCancel>(event) || std::holds_alternative<UpdateBegin>(event) ||
         std::holds_alternative<UpdateChunk>(event) || std::holds_alternative<UpdateCancel>(event);
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
    if (std::holds_alternative<IgnoredMessage>(*event) || handled_on_reader(*event)) continue;
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
