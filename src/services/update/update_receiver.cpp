#include "services/update/update_receiver.hpp"

#include "log.hpp"
#include "session/encode.hpp"
#include "system/sodium.hpp"

namespace corvane {

UpdateReceiver::UpdateReceiver(std::optional<InstallTarget> target,
                               std::shared_ptr<StagedSlot> staged,
                               Sender<OutboundCommand> replies)
    : target_(std::move(target)), staged_(std::move(staged)), replies_(std::move(replies)) {
  // Hashing does not depend on it, but libsodium asks for it before any use.
  (void)init_sodium();
}

void UpdateReceiver::begin(const UpdateBegin& begin) {
  auto file = prepare(begin);
  if (!file) {
    const auto& reason = file.error().message;
    log_line("corvane: update to " + begin.version + " refused: " + reason);
    send_result(begin.update_id, UpdateStatus::failed, reason);
    return;
  }
  log_line("corvane: receiving the update to " + begin.version);
  send(encode_update_accept(begin.update_id, static_cast<uint32_t>(update_initial_credit)));
  // The one being replaced shares the staging file, which now holds the
  // new update: it is closed, not removed.
  if (current_) current_->file.release();
  current_.emplace(IncomingUpdate{.path = target_->staging_path,
                                  .size = begin.size,
                                  .expected_digest = begin.sha256,
                                  .id = begin.update_id,
                                  .file = std::move(*file)});
  crypto_hash_sha256_init(&current_->digest);
}

Result<StagingFile> UpdateReceiver::prepare(const UpdateBegin& begin) const {
  if (staged_->holds_package()) return fail("an update is already installing");
  if (!target_) return fail("this installation cannot update itself");
  if (begin.size > largest_update_package) {
    return fail("the package is too large: " + std::to_string(begin.size) + " bytes");
  }
  auto file = StagingFile::open(target_->staging_path);
  if (!file) return fail("could not create the staging file: " + file.error().message);
  return file;
}

void UpdateReceiver::chunk(const UpdateChunk& chunk) {
  if (!current_ || current_->id != chunk.update_id) return;
  receive(chunk);
}

void UpdateReceiver::cancel(const UpdateCancel& cancel) {
  if (!current_ || current_->id != cancel.update_id) return;
  abandon(UpdateStatus::cancelled, {});
}

void UpdateReceiver::receive(const UpdateChunk& chunk) {
  auto& update = *current_;
  const uint64_t length = chunk.data.size();
  // Compared as room left, so that no sum can wrap around.
  if (chunk.offset != update.written || length > update.credit - update.written ||
      length > update.size - update.written) {
    abandon(UpdateStatus::failed, "an update chunk is out of sequence or exceeds its credit");
    return;
  }
  if (auto written = update.file.write(chunk.data); !written) {
    abandon(UpdateStatus::failed, "writing the package failed: " + written.error().message);
    return;
  }
  crypto_hash_sha256_update(&update.digest, chunk.data.data(), length);
  update.written += length;
  if (update.written == update.size) {
    complete();
    return;
  }
  update.pending += length;
  if (update.pending < update_credit_threshold) return;
  update.credit += update.pending;
  send(encode_update_credit(update.id, static_cast<uint32_t>(update.pending)));
  update.pending = 0;
}

void UpdateReceiver::complete() {
  auto update = std::move(*current_);
  current_.reset();
  auto flushed = update.file.flush_and_close();
  std::array<uint8_t, crypto_hash_sha256_BYTES> digest{};
  crypto_hash_sha256_final(&update.digest, digest.data());
  std::string message;
  if (digest != update.expected_digest) {
    message = "the package does not match its SHA-256";
  } else if (!flushed) {
    message = "writing the package failed: " + flushed.error().message;
  }
  if (!message.empty()) {
    log_line("corvane: update failed: " + message);
    update.file.remove();
    send_result(update.id, UpdateStatus::failed, message);
    return;
  }
  // From here the staged slot owns the package.
  update.file.release();
  send_result(update.id, UpdateStatus::verified);
  staged_->store({*target_, update.path});
}

void UpdateReceiver::abandon(UpdateStatus status, const std::string& message) {
  auto update = std::move(*current_);
  current_.reset();
  update.file.remove();
  if (!message.empty()) log_line("corvane: update failed: " + message);
  send_result(update.id, status, message);
}

void UpdateReceiver::send_result(uint32_t id, UpdateStatus status, std::string_view text) {
  send(encode_update_result(id, static_cast<uint32_t>(status), text));
}

void UpdateReceiver::send(ControlMessage message) {
  replies_.send(ServiceMessage{std::move(message), {}, 0});
}

}  // namespace corvane
