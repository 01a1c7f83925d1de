#pragma once
// The messages the KVM sends once a session runs, as the decoder yields
// them. Variable parts are owned copies: they outlive the receive buffer.
#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace corvane {

// A message that this service does not take from the KVM; it is dropped.
struct IgnoredMessage {
  friend bool operator==(const IgnoredMessage&, const IgnoredMessage&) = default;
};

// session.config: the settings document, handed on unparsed.
struct SessionConfig {
  std::string json;
  friend bool operator==(const SessionConfig&, const SessionConfig&) = default;
};

struct VideoConfig {
  bool enabled = false;
  uint8_t layout = 0;
  uint8_t codec = 0;  // 0 H.264, 1 HEVC
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bitrate_kbps = 0;  // 0: no request
  uint32_t maximum_fps = 0;   // 0: no request
  friend bool operator==(const VideoConfig&, const VideoConfig&) = default;
};

struct KeyframeRequest {
  friend bool operator==(const KeyframeRequest&, const KeyframeRequest&) = default;
};

struct ClipboardGet {
  uint32_t request_id = 0;
  friend bool operator==(const ClipboardGet&, const ClipboardGet&) = default;
};

struct ClipboardSet {
  uint32_t request_id = 0;
  std::string text;
  friend bool operator==(const ClipboardSet&, const ClipboardSet&) = default;
};

struct ClipboardConfig {
  bool enabled = false;
  friend bool operator==(const ClipboardConfig&, const ClipboardConfig&) = default;
};

struct TerminalOpen {
  uint32_t id = 0;
  uint16_t rows = 0;
  uint16_t columns = 0;
  friend bool operator==(const TerminalOpen&, const TerminalOpen&) = default;
};

struct TerminalInput {
  uint32_t id = 0;
  std::vector<uint8_t> data;
  friend bool operator==(const TerminalInput&, const TerminalInput&) = default;
};

struct TerminalResize {
  uint32_t id = 0;
  uint16_t rows = 0;
  uint16_t columns = 0;
  friend bool operator==(const TerminalResize&, const TerminalResize&) = default;
};

struct TerminalClose {
  uint32_t id = 0;
  friend bool operator==(const TerminalClose&, const TerminalClose&) = default;
};

struct TerminalCredit {
  uint32_t id = 0;
  uint32_t amount = 0;
  friend bool operator==(const TerminalCredit&, const TerminalCredit&) = default;
};

struct FileDropEntry {
  uint32_t transfer_id = 0;
  uint64_t size = 0;
  std::string name;  // a plain file name: no separators, no control characters
  friend bool operator==(const FileDropEntry&, const FileDropEntry&) = default;
};

struct FileDrop {
  std::vector<FileDropEntry> entries;
  friend bool operator==(const FileDrop&, const FileDrop&) = default;
};

struct FileChunk {
  uint32_t transfer_id = 0;
  uint64_t offset = 0;
  std::vector<uint8_t> data;
  friend bool operator==(const FileChunk&, const FileChunk&) = default;
};

struct FileCancel {
  uint32_t transfer_id = 0;
  friend bool operator==(const FileCancel&, const FileCancel&) = default;
};

struct UpdateBegin {
  uint32_t update_id = 0;
  uint64_t size = 0;
  std::array<uint8_t, 32> sha256{};
  std::string version;
  friend bool operator==(const UpdateBegin&, const UpdateBegin&) = default;
};

struct UpdateChunk {
  uint32_t update_id = 0;
  uint64_t offset = 0;
  std::vector<uint8_t> data;
  friend bool operator==(const UpdateChunk&, const UpdateChunk&) = default;
};

struct UpdateCancel {
  uint32_t update_id = 0;
  friend bool operator==(const UpdateCancel&, const UpdateCancel&) = default;
};

using KvmEvent =
    std::variant<IgnoredMessage, SessionConfig, VideoConfig, KeyframeRequest, ClipboardGet,
                 ClipboardSet, ClipboardConfig, TerminalOpen, TerminalInput, TerminalResize,
                 TerminalClose, TerminalCredit, FileDrop, FileChunk, FileCancel, UpdateBegin,
                 UpdateChunk, UpdateCancel>;

}  // namespace corvane
