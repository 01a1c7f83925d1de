#pragma once
// One encoder per message this service sends to the KVM. Each applies the
// checks of its message; a message that fails them is not sent at all.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"
#include "session/frame.hpp"
#include "session/session_status.hpp"

namespace corvane {

inline constexpr size_t hello_nonce_size = 32;

ControlMessage encode_session_hello(const SessionToken& token,
                                    std::span<const uint8_t, hello_nonce_size> nonce);
ControlMessage encode_session_keepalive();
// reason 0: this service ends the session; 3: the KVM is not approved here.
ControlMessage encode_session_close(uint8_t reason);
ControlMessage encode_session_info(std::span<const std::string> displays);

struct VideoOffer {
  bool hevc = false;
  bool display_mode_by_sender = false;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t frame_rate = 0;
};

Result<ControlMessage> encode_video_offer(const VideoOffer& offer);
ControlMessage encode_video_withdrawn();

struct VideoStatus {
  bool active = false;
  uint8_t layout = 0;
  uint8_t codec = 0;
  bool stream_reset = false;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t frame_rate = 0;
  uint32_t default_kbps = 0;
  uint32_t target_kbps = 0;
  uint32_t maximum_fps = 0;
  uint32_t code = 0;
  std::string message;
};

Result<ControlMessage> encode_video_status(const VideoStatus& status);

// video.access_unit goes out as this prefix (the header and the 12 fixed
// payload bytes) followed by the data itself, which is never copied here.
inline constexpr size_t access_unit_prefix_size = 20;

struct AccessUnitInfo {
  uint64_t pts_us = 0;
  bool keyframe = false;
  bool parameter_sets = false;
};

Result<std::array<uint8_t, access_unit_prefix_size>> encode_access_unit_prefix(
    const AccessUnitInfo& unit, size_t data_size);

// Either both availability flags or none; the value is always 3.
ControlMessage encode_clipboard_state(bool available);
Result<ControlMessage> encode_clipboard_data(uint32_t request_id, uint8_t status, bool truncated,
                                             std::string_view text);
ControlMessage encode_clipboard_result(uint32_t request_id, uint8_t status);

ControlMessage encode_terminal_state(bool enabled);
ControlMessage encode_terminal_opened(uint32_t id, uint8_t status);
Result<ControlMessage> encode_terminal_output(uint32_t id, std::span<const uint8_t> output);
ControlMessage encode_terminal_closed(uint32_t id, uint8_t reason);

ControlMessage encode_file_state(bool available);
ControlMessage encode_file_accept(uint32_t transfer_id, uint32_t credit);
ControlMessage encode_file_credit(uint32_t transfer_id, uint32_t credit);
// A text too long for one message is cut on a character boundary.
ControlMessage encode_file_result(uint32_t transfer_id, uint32_t status, std::string_view text);

enum class UpdatePlatform : uint8_t {
  windows_x86_64 = 0,
  macos_aarch64 = 1,
  linux_x86_64_appimage = 2,
};

ControlMessage encode_update_state(UpdatePlatform platform);
ControlMessage encode_update_accept(uint32_t update_id, uint32_t credit);
ControlMessage encode_update_credit(uint32_t update_id, uint32_t credit);
ControlMessage encode_update_result(uint32_t update_id, uint32_t status, std::string_view text);

}  // namespace corvane
