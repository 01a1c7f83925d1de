#include "services/file_drop/file_drop_service.hpp"

#include <fcntl.h>

#include <cerrno>

#include "log.hpp"
#include "session/encode.hpp"
#include "system/lossy_utf8.hpp"
#include "system/unique_fd.hpp"

namespace corvane {

std::string numbered_file_name(const std::string& name, int number) {
  auto dot = name.rfind('.');
  auto suffix = " (" + std::to_string(number) + ")";
  if (dot == std::string::npos || dot == 0) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

FileDropService::FileDropService(std::optional<std::filesystem::path> destination,
                                 bool files_enabled, Sender<OutboundCommand> replies)
    : destination_(std::move(destination)),
      replies_(std::move(replies)),
      files_enabled_(files_enabled) {}

void FileDropService::drop(FileDrop drop) {
  if (!files_enabled_) {
    for (const auto& entry : drop.entries) send_result(entry.transfer_id, FileStatus::failed);
    return;
  }
  for (auto& entry : drop.entries) queue_.push_back(std::move(entry));
  if (!current_) start_next_file();
}

void FileDropService::chunk(const FileChunk& chunk) {
  if (!current_ || current_->id != chunk.transfer_id) return;
  receive(chunk);
}

void FileDropService::cancel(const FileCancel& cancel) {
  if (current_ && current_->id == cancel.transfer_id) {
    finish(FileStatus::cancelled);
    return;
  }
  for (auto entry = queue_.begin(); entry != queue_.end(); ++entry) {
    if (entry->transfer_id != cancel.transfer_id) continue;
    queue_.erase(entry);
    send_result(cancel.transfer_id, FileStatus::cancelled);
    return;
  }
}

void FileDropService::set_files_enabled(bool enabled) {
  files_enabled_ = enabled;
  if (enabled) return;
  auto cancelled = std::move(queue_);
  queue_.clear();
  for (const auto& entry : cancelled) send_result(entry.transfer_id, FileStatus::cancelled);
  if (current_) finish(FileStatus::cancelled);
}

void FileDropService::start_next_file() {
  while (!current_ && !queue_.empty()) {
    auto entry = std::move(queue_.front());
    queue_.pop_front();
    start(std::move(entry));
  }
}

void FileDropService::start(FileDropEntry entry) {
  auto file = create(entry);
  if (!file) {
    log_line("corvane: could not create " + entry.name + ": " + file.error().message);
    send_result(entry.transfer_id, FileStatus::failed);
    return;
  }
  send(encode_file_accept(entry.transfer_id, static_cast<uint32_t>(file_initial_credit)));
  if (entry.size == 0) {
    auto path = file->path();
    file->keep();
    send_result(entry.transfer_id, FileStatus::complete, from_utf8_lossy(path.native()));
    return;
  }
  current_.emplace(FileTransfer{.name = std::move(entry.name),
                                .size = entry.size,
                                .file = std::move(*file),
                                .id = entry.transfer_id});
}

Result<CreatedFile> FileDropService::create(const FileDropEntry& entry) {
  if (!destination_) return fail("no Downloads or home folder is available");
  UniqueFd folder(::open(destination_->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return fail((*destination_ / entry.name).native() + ": " + os_error_text(errno));
  for (int number = 1; number <= file_name_attempts; ++number) {
    auto name = number == 1 ? entry.name : numbered_file_name(entry.name, number);
    auto attempt = CreatedFile::create(folder.get(), *destination_, name);
    using Kind = CreatedFile::Attempt::Kind;
    if (attempt.kind == Kind::created) return std::move(*attempt.file);
    if (attempt.kind == Kind::failed) {
      return fail((*destination_ / name).native() + ": " + attempt.error);
    }
  }
  return fail("too many files named " + entry.name);
}

void FileDropService::receive(const FileChunk& chunk) {
  auto& transfer = *current_;
  const uint64_t length = chunk.data.size();
  // Compared as room left, so that no sum can wrap around.
  if (chunk.offset != transfer.written || length > transfer.credit - transfer.written ||
      length > transfer.size - transfer.written) {
    log_line("corvane: file chunk for " + transfer.name +
             " is out of sequence or exceeds credit");
    finish(FileStatus::failed);
    return;
  }
  if (auto written = transfer.file.write(chunk.data); !written) {
    log_line("corvane: writing " + transfer.name + " failed: " + written.error().message);
    finish(FileStatus::failed);
    return;
  }
  transfer.written += length;
  if (transfer.written == transfer.size) {
    finish(FileStatus::complete);
    return;
  }
  transfer.pending += length;
  if (transfer.pending < file_credit_threshold) return;
  transfer.credit += transfer.pending;
  send(encode_file_credit(transfer.id, static_cast<uint32_t>(transfer.pending)));
  transfer.pending = 0;
}

void FileDropService::finish(FileStatus status) {
  auto transfer = std::move(*current_);
  current_.reset();
  if (status == FileStatus::complete) {
    auto path = transfer.file.path();
    transfer.file.keep();
    send_result(transfer.id, status, from_utf8_lossy(path.native()));
  } else {
    transfer.file.discard();
    send_result(transfer.id, status);
  }
  start_next_file();
}

void FileDropService::send_result(uint32_t id, FileStatus status, std::string_view text) {
  send(encode_file_result(id, static_cast<uint32_t>(status), text));
}

void FileDropService::send(ControlMessage message) {
  replies_.send(ServiceMessage{std::move(message), {}, 0});
}

}  // namespace corvane
