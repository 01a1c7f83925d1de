#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "session/catalogue.hpp"
#include "session/receive_buffer.hpp"

namespace corvane {

inline constexpr size_t frame_header_size = 8;

// In front of every bulk message in both directions.
struct FrameHeader {
  uint16_t channel = 0;
  uint16_t type = 0;
  uint32_t length = 0;

  MessageId id() const { return {channel, type}; }
};

std::array<uint8_t, frame_header_size> encode_frame_header(const FrameHeader& header);
FrameHeader decode_frame_header(std::span<const uint8_t, frame_header_size> bytes);

// Every message but video.access_unit, as this service sends it.
struct ControlMessage {
  uint16_t channel = 0;
  uint16_t type = 0;
  std::vector<uint8_t> payload;

  ControlMessage() = default;
  ControlMessage(MessageId id, std::vector<uint8_t> bytes)
      : channel(id.channel), type(id.type), payload(std::move(bytes)) {}
  MessageId id() const { return {channel, type}; }
  friend bool operator==(const ControlMessage&, const ControlMessage&) = default;
};

// The header followed by the payload; refuses a payload above the control
// limit, so that nothing of it is sent.
Result<std::vector<uint8_t>> encode_control(const ControlMessage& message);

// One frame taken from the receive buffer. The payload is a view into the
// buffer's storage: it stays valid until the buffer is next appended to.
struct Frame {
  uint16_t channel = 0;
  uint16_t type = 0;
  std::span<const uint8_t> payload;

  MessageId id() const { return {channel, type}; }
};

// complete is false while the buffer does not yet hold the whole frame.
struct FrameRead {
  bool complete = false;
  Frame frame;
};

// Takes the frame at the front of the buffer. A header announcing more than
// its message's limit is refused as soon as its 8 bytes are there, before
// any of the payload has arrived.
Result<FrameRead> read_frame(ReceiveBuffer& buffer);

}  // namespace corvane
