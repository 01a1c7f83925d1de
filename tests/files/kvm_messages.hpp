#pragma once
// The file and update messages the simulated KVM sends, as wire frames.
#include <array>
#include <string>
#include <vector>

#include "session/catalogue.hpp"
#include "session/payload_writer.hpp"
#include "simulated_kvm.hpp"

namespace corvane::test {

inline Bytes file_drop_frame(uint32_t id, uint64_t size, const std::string& name) {
  return frame_bytes(message::file_drop, PayloadWriter()
                                             .u32(1)
                                             .u32(id)
                                             .u64(size)
                                             .u16(static_cast<uint16_t>(name.size()))
                                             .text(name)
                                             .take());
}

inline Bytes chunk_frame(MessageId kind, uint32_t id, uint64_t offset,
                         std::span<const uint8_t> data) {
  return frame_bytes(kind, PayloadWriter().u32(id).u64(offset).bytes(data).take());
}

inline Bytes session_config_frame(const std::string& json) {
  return frame_bytes(message::session_config, PayloadWriter().text(json).take());
}

inline Bytes update_begin_frame(uint32_t id, uint64_t size, const std::array<uint8_t, 32>& digest,
                                const std::string& version) {
  return frame_bytes(message::update_begin,
                     PayloadWriter().u32(id).u64(size).bytes(digest).text(version).take());
}

// A whole package as update.begin and chunks that fit one frame each.
inline std::vector<Bytes> update_frames(uint32_t id, const std::vector<uint8_t>& package,
                                        const std::array<uint8_t, 32>& digest) {
  std::vector<Bytes> frames{update_begin_frame(id, package.size(), digest, "0.4.6")};
  const size_t piece = 65536 - 12;
  for (size_t offset = 0; offset < package.size(); offset += piece) {
    auto count = std::min(piece, package.size() - offset);
    frames.push_back(chunk_frame(message::update_chunk, id, offset,
                                 std::span(package).subspan(offset, count)));
  }
  return frames;
}

}  // namespace corvane::test
