#pragma once
#include <cstdint>
#include <span>
#include <string_view>

namespace corvane {

// A message is named by its channel and its type within the channel.
struct MessageId {
  uint16_t channel = 0;
  uint16_t type = 0;

  // The header's channel and type read as one little-endian 32-bit word.
  constexpr uint32_t word() const { return uint32_t{channel} | uint32_t{type} << 16; }
  friend constexpr bool operator==(MessageId, MessageId) = default;
};

enum class Direction : uint8_t {
  from_kvm,  // K: the KVM sends it, the decoder checks it
  to_kvm,    // H: this service sends it, an encoder builds it
};

struct CatalogueEntry {
  MessageId id;
  Direction direction;
  std::string_view name;
};

namespace message {
inline constexpr MessageId session_hello{0, 1};
inline constexpr MessageId session_ready{0, 2};
inline constexpr MessageId session_keepalive{0, 3};
inline constexpr MessageId session_close{0, 4};
inline constexpr MessageId session_config{0, 5};
inline constexpr MessageId session_info{0, 6};
inline constexpr MessageId video_state{1, 1};
inline constexpr MessageId video_config{1, 3};
inline constexpr MessageId video_status{1, 4};
inline constexpr MessageId video_access_unit{1, 5};
inline constexpr MessageId video_request_keyframe{1, 6};
inline constexpr MessageId clipboard_state{2, 1};
inline constexpr MessageId clipboard_get{2, 2};
inline constexpr MessageId clipboard_data{2, 3};
inline constexpr MessageId clipboard_set{2, 4};
inline constexpr MessageId clipboard_result{2, 5};
inline constexpr MessageId clipboard_config{2, 7};
inline constexpr MessageId terminal_state{3, 1};
inline constexpr MessageId terminal_open{3, 2};
inline constexpr MessageId terminal_opened{3, 3};
inline constexpr MessageId terminal_input{3, 4};
inline constexpr MessageId terminal_output{3, 5};
inline constexpr MessageId terminal_resize{3, 6};
inline constexpr MessageId terminal_close{3, 7};
inline constexpr MessageId terminal_closed{3, 8};
inline constexpr MessageId terminal_credit{3, 9};
inline constexpr MessageId file_state{4, 1};
inline constexpr MessageId file_drop{4, 2};
inline constexpr MessageId file_accept{4, 3};
inline constexpr MessageId file_chunk{4, 4};
inline constexpr MessageId file_credit{4, 5};
inline constexpr MessageId file_result{4, 6};
inline constexpr MessageId file_cancel{4, 7};
inline constexpr MessageId update_state{5, 1};
inline constexpr MessageId update_begin{5, 2};
inline constexpr MessageId update_accept{5, 3};
inline constexpr MessageId update_chunk{5, 4};
inline constexpr MessageId update_credit{5, 5};
inline constexpr MessageId update_result{5, 6};
inline constexpr MessageId update_cancel{5, 7};
}  // namespace message

// Payload limits, the same in both directions.
inline constexpr uint32_t control_payload_limit = 65536;
inline constexpr uint32_t access_unit_payload_limit = 8388608;

// Every message either side may send, in channel and type order.
std::span<const CatalogueEntry> message_catalogue();

// The largest payload a header for id may announce; pairs outside the
// catalogue get the control limit.
uint32_t payload_limit(MessageId id);

}  // namespace corvane
