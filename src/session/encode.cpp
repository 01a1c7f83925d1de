#include "session/encode.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>

#include "session/byte_order.hpp"
#include "session/payload_writer.hpp"
#include "session/video_limits.hpp"

namespace corvane {
namespace {

constexpr uint32_t protocol_version = 5;
// Room left for a text behind the 8 fixed bytes of a control payload.
constexpr size_t max_text_after_8_bytes = control_payload_limit - 8;
constexpr size_t max_terminal_output = control_payload_limit - 4;

constexpr uint32_t video_offered = 1u << 0;
constexpr uint32_t video_hevc = 1u << 1;
constexpr uint32_t video_display_mode_by_sender = 1u << 2;

constexpr uint32_t access_unit_keyframe = 1u << 0;
constexpr uint32_t access_unit_parameter_sets = 1u << 1;

constexpr uint32_t clipboard_available_flags = 3;
constexpr uint32_t clipboard_state_value = 3;

// The longest prefix of at most limit bytes that does not end inside a
// UTF-8 sequence.
std::string_view cut_on_character_boundary(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

ControlMessage id_and_credit(MessageId id, uint32_t transfer_id, uint32_t credit) {
  return {id, PayloadWriter(8).u32(transfer_id).u32(credit).take()};
}

ControlMessage id_status_and_text(MessageId id, uint32_t transfer_id, uint32_t status,
                                  std::string_view text) {
  text = cut_on_character_boundary(text, max_text_after_8_bytes);
  return {id, PayloadWriter(8 + text.size()).u32(transfer_id).u32(status).text(text).take()};
}

uint8_t bool_byte(bool value) { return value ? 1 : 0; }

}  // namespace

ControlMessage encode_session_hello(const SessionToken& token,
                                    std::span<const uint8_t, hello_nonce_size> nonce) {
  return {message::session_hello,
          PayloadWriter(52).u32(protocol_version).bytes(token).bytes(nonce).take()};
}

ControlMessage encode_session_keepalive() { return {message::session_keepalive, {}}; }

ControlMessage encode_session_close(uint8_t reason) { return {message::session_close, {reason}}; }

ControlMessage encode_session_info(std::span<const std::string> displays) {
  nlohmann::ordered_json info;
  info["displays"] = displays;
  info["version"] = CORVANE_VERSION;
  // Display names come from the kernel; a stray invalid byte must not
  // abort the session, so it is replaced rather than thrown on.
  std::string text = info.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return {message::session_info, {text.begin(), text.end()}};
}

Result<ControlMessage> encode_video_offer(const VideoOffer& offer) {
  if (auto checked = check_display_resolution(offer.width, offer.height); !checked) {
    return std::unexpected(checked.error());
  }
  if (auto checked = check_frame_rate(offer.frame_rate); !checked) {
    return std::unexpected(checked.error());
  }
  uint32_t flags = video_offered;
  if (offer.hevc) flags |= video_hevc;
  if (offer.display_mode_by_sender) flags |= video_display_mode_by_sender;
  return ControlMessage{
      message::video_state,
      PayloadWriter(16).u32(flags).u32(offer.width).u32(offer.height).u32(offer.frame_rate).take()};
}

ControlMessage encode_video_withdrawn() {
  return {message::video_state, PayloadWriter(16).u32(0).u32(0).u32(0).u32(0).take()};
}

Result<ControlMessage> encode_video_status(const VideoStatus& status) {
  if (status.active) {
    if (auto checked = check_display_resolution(status.width, status.height); !checked) {
      return std::unexpected(checked.error());
    }
    if (auto checked = check_frame_rate(status.frame_rate); !checked) {
      return std::unexpected(checked.error());
    }
  }
  if (status.maximum_fps > max_frame_rate) return fail("invalid video.status maximum_fps");
  PayloadWriter payload(32 + status.message.size());
  payload.u8(bool_byte(status.active))
      .u8(status.layout)
      .u8(status.codec)
      .u8(bool_byte(status.stream_reset))
      .u32(status.width)
      .u32(status.height)
      .u32(status.frame_rate)
      .u32(status.default_kbps)
      .u32(status.target_kbps)
      .u32(status.maximum_fps)
      .u32(status.code)
      .text(status.message);
  return ControlMessage{message::video_status, payload.take()};
}

Result<std::array<uint8_t, access_unit_prefix_size>> encode_access_unit_prefix(
    const AccessUnitInfo& unit, size_t data_size) {
  constexpr size_t fixed_size = access_unit_prefix_size - frame_header_size;
  if (data_size == 0 || data_size > access_unit_payload_limit - fixed_size) {
    return fail("invalid encoded access-unit size: " + std::to_string(data_size));
  }
  uint32_t flags = 0;
  if (unit.keyframe) flags |= access_unit_keyframe;
  if (unit.parameter_sets) flags |= access_unit_parameter_sets;
  auto header =
      encode_frame_header({message::video_access_unit.channel, message::video_access_unit.type,
                           static_cast<uint32_t>(data_size + fixed_size)});
  std::array<uint8_t, access_unit_prefix_size> prefix;
  std::copy(header.begin(), header.end(), prefix.begin());
  store_le(&prefix[8], unit.pts_us);
  store_le(&prefix[16], flags);
  return prefix;
}

ControlMessage encode_clipboard_state(bool available) {
  uint32_t flags = available ? clipboard_available_flags : 0;
  return {message::clipboard_state, PayloadWriter(8).u32(flags).u32(clipboard_state_value).take()};
}

Result<ControlMessage> encode_clipboard_data(uint32_t request_id, uint8_t status, bool truncated,
                                             std::string_view text) {
  if (text.size() > max_text_after_8_bytes) {
    return fail("clipboard text is too large: " + std::to_string(text.size()));
  }
  PayloadWriter payload(8 + text.size());
  payload.u32(request_id).u8(status).u8(bool_byte(truncated)).u16(0).text(text);
  return ControlMessage{message::clipboard_data, payload.take()};
}

ControlMessage encode_clipboard_result(uint32_t request_id, uint8_t status) {
  return {message::clipboard_result, PayloadWriter(5).u32(request_id).u8(status).take()};
}

ControlMessage encode_terminal_state(bool enabled) {
  return {message::terminal_state, PayloadWriter(4).u32(enabled ? 1 : 0).take()};
}

ControlMessage encode_terminal_opened(uint32_t id, uint8_t status) {
  return {message::terminal_opened, PayloadWriter(5).u32(id).u8(status).take()};
}

Result<ControlMessage> encode_terminal_output(uint32_t id, std::span<const uint8_t> output) {
  if (output.empty() || output.size() > max_terminal_output) {
    return fail("invalid terminal output size: " + std::to_string(output.size()));
  }
  return ControlMessage{message::terminal_output,
                        PayloadWriter(4 + output.size()).u32(id).bytes(output).take()};
}

ControlMessage encode_terminal_closed(uint32_t id, uint8_t reason) {
  return {message::terminal_closed, PayloadWriter(5).u32(id).u8(reason).take()};
}

ControlMessage encode_file_state(bool available) {
  return {message::file_state, PayloadWriter(4).u32(available ? 1 : 0).take()};
}

ControlMessage encode_file_accept(uint32_t transfer_id, uint32_t credit) {
  return id_and_credit(message::file_accept, transfer_id, credit);
}

ControlMessage encode_file_credit(uint32_t transfer_id, uint32_t credit) {
  return id_and_credit(message::file_credit, transfer_id, credit);
}

ControlMessage encode_file_result(uint32_t transfer_id, uint32_t status, std::string_view text) {
  return id_status_and_text(message::file_result, transfer_id, status, text);
}

ControlMessage encode_update_state(UpdatePlatform platform) {
  static constexpr std::string_view identifiers[] = {"windows-x86_64", "macos-aarch64",
                                                     "linux-x86_64-appimage"};
  std::string_view identifier = identifiers[static_cast<size_t>(platform)];
  return {message::update_state,
          PayloadWriter(4 + identifier.size()).u32(1).text(identifier).take()};
}

ControlMessage encode_update_accept(uint32_t update_id, uint32_t credit) {
  return id_and_credit(message::update_accept, update_id, credit);
}

ControlMessage encode_update_credit(uint32_t update_id, uint32_t credit) {
  return id_and_credit(message::update_credit, update_id, credit);
}

ControlMessage encode_update_result(uint32_t update_id, uint32_t status, std::string_view text) {
  return id_status_and_text(message::update_result, update_id, status, text);
}

}  // namespace corvane
