#include "session/frame.hpp"

#include <string>

#include "session/byte_order.hpp"

namespace corvane {

std::array<uint8_t, frame_header_size> encode_frame_header(const FrameHeader& header) {
  std::array<uint8_t, frame_header_size> bytes;
  store_le(bytes.data(), header.channel);
  store_le(bytes.data() + 2, header.type);
  store_le(bytes.data() + 4, header.length);
  return bytes;
}

FrameHeader decode_frame_header(std::span<const uint8_t, frame_header_size> bytes) {
  return {load_le<uint16_t>(bytes.data()), load_le<uint16_t>(bytes.data() + 2),
          load_le<uint32_t>(bytes.data() + 4)};
}

Result<std::vector<uint8_t>> encode_control(const ControlMessage& message) {
  size_t size = message.payload.size();
  if (size > control_payload_limit) {
    return fail("control payload is too large: " + std::to_string(size));
  }
  auto header = encode_frame_header({message.channel, message.type, static_cast<uint32_t>(size)});
  std::vector<uint8_t> bytes;
  bytes.reserve(header.size() + size);
  bytes.insert(bytes.end(), header.begin(), header.end());
  bytes.insert(bytes.end(), message.payload.begin(), message.payload.end());
  return bytes;
}

Result<FrameRead> read_frame(ReceiveBuffer& buffer) {
  auto bytes = buffer.bytes();
  if (bytes.size() < frame_header_size) return FrameRead{};
  FrameHeader header = decode_frame_header(bytes.first<frame_header_size>());
  if (header.length > payload_limit(header.id())) {
    return fail("KVM message payload is too large: " + std::to_string(header.length));
  }
  if (bytes.size() - frame_header_size < header.length) return FrameRead{};
  Frame frame{header.channel, header.type, bytes.subspan(frame_header_size, header.length)};
  buffer.consume(frame_header_size + header.length);
  return FrameRead{true, frame};
}

}  // namespace corvane
