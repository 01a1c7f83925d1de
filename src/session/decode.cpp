#include "session/decode.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "session/byte_order.hpp"
#include "session/payload_cursor.hpp"
#include "session/video_limits.hpp"
#include "system/utf8.hpp"

namespace corvane {
namespace {

using Bytes = std::span<const uint8_t>;

// The longest text a clipboard message carries: a full control payload less
// the 8 bytes in front of the text in clipboard.data.
constexpr size_t max_clipboard_text = 65528;
constexpr size_t max_update_version = 64;
// Enough for any ordinary drop; a larger count must still be backed by
// entries that are really there before more room is taken.
constexpr uint32_t reserved_drop_entries = 1024;

std::string_view as_text(Bytes bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::vector<uint8_t> copy_bytes(Bytes bytes) { return {bytes.begin(), bytes.end()}; }

std::unexpected<Error> fail_bool_byte(std::string_view field, uint8_t byte) {
  return fail("invalid " + std::string(field) + " value: " + std::to_string(byte));
}

std::unexpected<Error> forward(const Error& error) { return std::unexpected(error); }

Result<KvmEvent> decode_video_config(Bytes payload) {
  if (payload.size() != 20) {
    return fail("invalid video.config payload length: " + std::to_string(payload.size()));
  }
  uint8_t enabled = payload[0];
  uint8_t layout = payload[1];
  uint8_t codec = payload[2];
  if (enabled > 1) return fail_bool_byte("video.config enabled", enabled);
  if (layout > 1) return fail("invalid video layout: " + std::to_string(layout));
  if (codec > 1) return fail("invalid video codec: " + std::to_string(codec));
  if (payload[3] != 0) return fail("non-zero video.config reserved byte");
  VideoConfig config{enabled == 1,
                     layout,
                     codec,
                     load_le<uint32_t>(&payload[4]),
                     load_le<uint32_t>(&payload[8]),
                     load_le<uint32_t>(&payload[12]),
                     load_le<uint32_t>(&payload[16])};
  if (auto checked = check_display_resolution(config.width, config.height); !checked) {
    return forward(checked.error());
  }
  if (config.maximum_fps > max_frame_rate) {
    return fail("invalid maximum frame rate: " + std::to_string(config.maximum_fps));
  }
  return config;
}

Result<KvmEvent> decode_keyframe_request(Bytes payload) {
  if (!payload.empty()) return fail("video.request_keyframe must have an empty payload");
  return KeyframeRequest{};
}

Result<KvmEvent> decode_clipboard_get(Bytes payload) {
  if (payload.size() != 4) return fail("invalid clipboard.get payload length");
  return ClipboardGet{load_le<uint32_t>(payload.data())};
}

Result<KvmEvent> decode_clipboard_set(Bytes payload) {
  if (payload.size() < 4) return fail_truncated();
  std::string_view text = as_text(payload.subspan(4));
  if (text.size() > max_clipboard_text) {
    return fail("clipboard.set text is too large: " + std::to_string(text.size()));
  }
  if (!is_valid_utf8(text)) return fail("clipboard.set text is not UTF-8");
  return ClipboardSet{load_le<uint32_t>(payload.data()), std::string(text)};
}

Result<KvmEvent> decode_clipboard_config(Bytes payload) {
  if (payload.size() != 1) return fail("invalid clipboard.config payload length");
  if (payload[0] > 1) return fail_bool_byte("clipboard.config enabled", payload[0]);
  return ClipboardConfig{payload[0] == 1};
}

// Every terminal message from the KVM starts with the terminal's id.
struct TerminalPayload {
  uint32_t id;
  Bytes rest;
};

Result<TerminalPayload> split_terminal_payload(Bytes payload) {
  if (payload.size() < 4) return fail_truncated();
  uint32_t id = load_le<uint32_t>(payload.data());
  if (id == 0) return fail("terminal session id must be non-zero");
  return TerminalPayload{id, payload.subspan(4)};
}

struct TerminalSize {
  uint16_t rows;
  uint16_t columns;
};

Result<TerminalSize> read_terminal_size(Bytes rest) {
  PayloadCursor cursor(rest);
  auto rows = cursor.read_u16();
  if (!rows) return forward(rows.error());
  auto columns = cursor.read_u16();
  if (!columns) return forward(columns.error());
  if (auto end = cursor.finish(); !end) return forward(end.error());
  return TerminalSize{*rows, *columns};
}

Result<KvmEvent> decode_terminal_open(Bytes payload) {
  auto terminal = split_terminal_payload(payload);
  if (!terminal) return forward(terminal.error());
  auto size = read_terminal_size(terminal->rest);
  if (!size) return forward(size.error());
  return TerminalOpen{terminal->id, size->rows, size->columns};
}

Result<KvmEvent> decode_terminal_input(Bytes payload) {
  auto terminal = split_terminal_payload(payload);
  if (!terminal) return forward(terminal.error());
  if (terminal->rest.empty()) return fail("terminal.input carries no data");
  return TerminalInput{terminal->id, copy_bytes(terminal->rest)};
}

Result<KvmEvent> decode_terminal_resize(Bytes payload) {
  auto terminal = split_terminal_payload(payload);
  if (!terminal) return forward(terminal.error());
  auto size = read_terminal_size(terminal->rest);
  if (!size) return forward(size.error());
  if (size->rows == 0 || size->columns == 0) {
    return fail("terminal.resize needs non-zero rows and columns");
  }
  return TerminalResize{terminal->id, size->rows, size->columns};
}

Result<KvmEvent> decode_terminal_close(Bytes payload) {
  auto terminal = split_terminal_payload(payload);
  if (!terminal) return forward(terminal.error());
  if (!terminal->rest.empty()) return fail("invalid terminal.close payload length");
  return TerminalClose{terminal->id};
}

Result<KvmEvent> decode_terminal_credit(Bytes payload) {
  auto terminal = split_terminal_payload(payload);
  if (!terminal) return forward(terminal.error());
  if (payload.size() < 8) return fail_truncated();
  if (payload.size() > 8) return fail("invalid terminal.credit payload length");
  return TerminalCredit{terminal->id, load_le<uint32_t>(terminal->rest.data())};
}

// A name that stays inside the folder it is saved in and shows as typed:
// no path separators, no "." or "..", no C0 or C1 control characters.
// The name is known to be UTF-8, where U+0080 to U+009F are C2 80 to C2 9F.
bool is_plain_file_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (size_t i = 0; i < name.size(); ++i) {
    auto byte = static_cast<uint8_t>(name[i]);
    if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F) return false;
    if (byte == 0xC2 && i + 1 < name.size() && static_cast<uint8_t>(name[i + 1]) <= 0x9F) {
      return false;
    }
  }
  return true;
}

Result<FileDropEntry> read_drop_entry(PayloadCursor& cursor) {
  auto id = cursor.read_u32();
  if (!id) return forward(id.error());
  auto size = cursor.read_u64();
  if (!size) return forward(size.error());
  auto name_length = cursor.read_u16();
  if (!name_length) return forward(name_length.error());
  auto name_bytes = cursor.read_bytes(*name_length);
  if (!name_bytes) return forward(name_bytes.error());
  std::string_view name = as_text(*name_bytes);
  if (!is_valid_utf8(name)) return fail("file.drop name is not UTF-8");
  if (*id == 0 || !is_plain_file_name(name)) {
    return fail("file.drop entry has an invalid id or name");
  }
  return FileDropEntry{*id, *size, std::string(name)};
}

Result<KvmEvent> decode_file_drop(Bytes payload) {
  PayloadCursor cursor(payload);
  auto count = cursor.read_u32();
  if (!count) return forward(count.error());
  if (*count == 0) return fail("file.drop names no files");
  FileDrop drop;
  drop.entries.reserve(std::min(*count, reserved_drop_entries));
  for (uint32_t i = 0; i < *count; ++i) {
    auto entry = read_drop_entry(cursor);
    if (!entry) return forward(entry.error());
    drop.entries.push_back(std::move(*entry));
  }
  if (auto end = cursor.finish(); !end) return forward(end.error());
  return drop;
}

// file.chunk and update.chunk share their layout and checks.
struct Chunk {
  uint32_t id;
  uint64_t offset;
  Bytes data;
};

Result<Chunk> read_chunk(Bytes payload, const char* length_error, const char* missing_id_error) {
  if (payload.size() > control_payload_limit) return fail(length_error);
  if (payload.size() < 12) return fail_truncated();
  Chunk chunk{load_le<uint32_t>(payload.data()), load_le<uint64_t>(&payload[4]),
              payload.subspan(12)};
  if (chunk.id == 0) return fail(missing_id_error);
  return chunk;
}

Result<KvmEvent> decode_file_chunk(Bytes payload) {
  auto chunk =
      read_chunk(payload, "invalid file.chunk payload length", "file.chunk without a transfer id");
  if (!chunk) return forward(chunk.error());
  return FileChunk{chunk->id, chunk->offset, copy_bytes(chunk->data)};
}

// file.cancel and update.cancel: the id alone.
Result<uint32_t> read_cancel_id(Bytes payload) {
  PayloadCursor cursor(payload);
  auto id = cursor.read_u32();
  if (!id) return forward(id.error());
  if (auto end = cursor.finish(); !end) return forward(end.error());
  return *id;
}

Result<KvmEvent> decode_file_cancel(Bytes payload) {
  auto id = read_cancel_id(payload);
  if (!id) return forward(id.error());
  return FileCancel{*id};
}

Result<KvmEvent> decode_update_begin(Bytes payload) {
  if (payload.size() < 44) return fail_truncated();
  UpdateBegin begin;
  begin.update_id = load_le<uint32_t>(payload.data());
  begin.size = load_le<uint64_t>(&payload[4]);
  std::copy_n(&payload[12], begin.sha256.size(), begin.sha256.begin());
  std::string_view version = as_text(payload.subspan(44));
  if (version.size() > max_update_version || begin.update_id == 0 || begin.size == 0) {
    return fail("update.begin has an invalid id, size or version");
  }
  if (!is_valid_utf8(version)) return fail("update.begin version is not UTF-8");
  begin.version = version;
  return begin;
}

Result<KvmEvent> decode_update_chunk(Bytes payload) {
  auto chunk = read_chunk(payload, "invalid update.chunk payload length",
                          "update.chunk without an update id");
  if (!chunk) return forward(chunk.error());
  return UpdateChunk{chunk->id, chunk->offset, copy_bytes(chunk->data)};
}

Result<KvmEvent> decode_update_cancel(Bytes payload) {
  auto id = read_cancel_id(payload);
  if (!id) return forward(id.error());
  return UpdateCancel{*id};
}

}  // namespace

Result<KvmEvent> decode(const Frame& frame) {
  Bytes payload = frame.payload;
  switch (frame.id().word()) {
    case message::session_config.word():
      return SessionConfig{std::string(as_text(payload))};
    case message::video_config.word():
      return decode_video_config(payload);
    case message::video_request_keyframe.word():
      return decode_keyframe_request(payload);
    case message::clipboard_get.word():
      return decode_clipboard_get(payload);
    case message::clipboard_set.word():
      return decode_clipboard_set(payload);
    case message::clipboard_config.word():
      return decode_clipboard_config(payload);
    case message::terminal_open.word():
      return decode_terminal_open(payload);
    case message::terminal_input.word():
      return decode_terminal_input(payload);
    case message::terminal_resize.word():
      return decode_terminal_resize(payload);
    case message::terminal_close.word():
      return decode_terminal_close(payload);
    case message::terminal_credit.word():
      return decode_terminal_credit(payload);
    case message::file_drop.word():
      return decode_file_drop(payload);
    case message::file_chunk.word():
      return decode_file_chunk(payload);
    case message::file_cancel.word():
      return decode_file_cancel(payload);
    case message::update_begin.word():
      return decode_update_begin(payload);
    case message::update_chunk.word():
      return decode_update_chunk(payload);
    case message::update_cancel.word():
      return decode_update_cancel(payload);
    default:
      return IgnoredMessage{};
  }
}

}  // namespace corvane
