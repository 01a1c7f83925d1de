#pragma once
// The update receiver: takes a new program file from the KVM, writes it to
// the staging file and checks it against the SHA-256 digest announced with
// it. Runs on the USB reader thread; a verified package goes into the
// staged slot, which ends the session so that it can be installed.
#include <sodium.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "services/install_target.hpp"
#include "services/staged_slot.hpp"
#include "services/update/staging_file.hpp"
#include "session/kvm_event.hpp"
#include "session/outbound_command.hpp"
#include "system/channel.hpp"

namespace corvane {

inline constexpr uint64_t largest_update_package = 1073741824;
inline constexpr uint64_t update_initial_credit = 524288;
inline constexpr uint64_t update_credit_threshold = 131072;

enum class UpdateStatus : uint32_t { verified = 0, failed = 1, cancelled = 2 };

struct IncomingUpdate {
  std::filesystem::path path;
  uint64_t size = 0;
  std::array<uint8_t, 32> expected_digest{};
  uint32_t id = 0;
  uint64_t written = 0;
  uint64_t credit = update_initial_credit;
  uint64_t pending = 0;
  StagingFile file;
  crypto_hash_sha256_state digest{};
};

class UpdateReceiver {
 public:
  UpdateReceiver(std::optional<InstallTarget> target, std::shared_ptr<StagedSlot> staged,
                 Sender<OutboundCommand> replies);

  void begin(const UpdateBegin& begin);
  void chunk(const UpdateChunk& chunk);
  void cancel(const UpdateCancel& cancel);

 private:
  // The staging file for a new update, or the reason it is refused.
  Result<StagingFile> prepare(const UpdateBegin& begin) const;
  void receive(const UpdateChunk& chunk);
  void complete();
  void abandon(UpdateStatus status, const std::string& message);
  void send_result(uint32_t id, UpdateStatus status, std::string_view text = {});
  void send(ControlMessage message);

  std::optional<InstallTarget> target_;
  std::optional<IncomingUpdate> current_;
  std::shared_ptr<StagedSlot> staged_;
  Sender<OutboundCommand> replies_;
};

}  // namespace corvane
