#pragma once
// The file-drop service: saves the files the KVM drops, one after another,
// in the destination folder. It runs on the USB reader thread, so file
// bytes go from the USB stream straight to disk; its replies go into the
// outbound queue.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>

#include "services/file_drop/created_file.hpp"
#include "session/kvm_event.hpp"
#include "session/outbound_command.hpp"
#include "system/channel.hpp"

namespace corvane {

// How far ahead of the bytes written the KVM may send, at first.
inline constexpr uint64_t file_initial_credit = 524288;
// Written bytes are granted back as credit once this many have gathered.
inline constexpr uint64_t file_credit_threshold = 131072;
// A taken name is tried again as "<stem> (<n>)" for n up to this.
inline constexpr int file_name_attempts = 1000;

enum class FileStatus : uint32_t { complete = 0, failed = 1, cancelled = 2 };

struct FileTransfer {
  std::string name;
  uint64_t size = 0;
  uint64_t written = 0;
  uint64_t credit = file_initial_credit;
  uint64_t pending = 0;
  CreatedFile file;
  uint32_t id = 0;
};

class FileDropService {
 public:
  // destination is looked up once, when the session starts.
  FileDropService(std::optional<std::filesystem::path> destination, bool files_enabled,
                  Sender<OutboundCommand> replies);

  void drop(FileDrop drop);
  void chunk(const FileChunk& chunk);
  void cancel(const FileCancel& cancel);
  // files_enabled from each session.config.
  void set_files_enabled(bool enabled);

 private:
  void start_next_file();
  // Creates the entry's file and accepts it, or refuses it.
  void start(FileDropEntry entry);
  Result<CreatedFile> create(const FileDropEntry& entry);
  void receive(const FileChunk& chunk);
  void finish(FileStatus status);
  void send_result(uint32_t id, FileStatus status, std::string_view text = {});
  void send(ControlMessage message);

  std::deque<FileDropEntry> queue_;
  std::optional<std::filesystem::path> destination_;
  std::optional<FileTransfer> current_;
  Sender<OutboundCommand> replies_;
  bool files_enabled_;
};

// The names tried for a dropped file after name itself: "<stem> (<n>).<ext>"
// or "<stem> (<n>)", split at the last dot unless it leads the name.
std::string numbered_file_name(const std::string& name, int number);

}  // namespace corvane
