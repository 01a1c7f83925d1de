#pragma once
// A KVM as corvane meets it on the USB interface: it answers the two vendor
// requests with SessionStatus records, holds an Ed25519 key, answers
// session.hello with a signed session.ready and a session.config, and lets a
// test script everything else. It knows nothing of transports: the
// in-process USB host feeds it here, a gadget program can feed it from
// FunctionFS. Not thread-safe; whoever carries it serialises the calls.
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fingerprint.hpp"
#include "session/catalogue.hpp"
#include "session/session_status.hpp"
#include "session/usb_host.hpp"

namespace corvane::test {

using Bytes = std::vector<uint8_t>;

struct KvmFrame {
  uint16_t channel = 0;
  uint16_t type = 0;
  Bytes payload;

  MessageId id() const { return {channel, type}; }
};

// One frame as bytes on the wire.
Bytes frame_bytes(MessageId id, std::span<const uint8_t> payload);

class SimulatedKvm {
 public:
  // Every seed gives another key, and so another fingerprint.
  explicit SimulatedKvm(uint8_t key_seed = 1);

  const std::array<uint8_t, 32>& public_key() const { return public_key_; }
  Fingerprint fingerprint() const;

  // --- How the KVM answers the session reset.
  struct ResetScript {
    // Status answers with state 0 before the final state; -1: never ready.
    int resetting_answers = 0;
    SessionState final_state = SessionState::ready;
    // Status answers carry another token, as if another host had reset.
    bool superseded = false;
  } reset;

  // --- How it answers session.hello.
  enum class Signature { valid, tampered, over_other_nonce };
  struct HandshakeScript {
    bool answer_hello = true;
    std::vector<Bytes> before_ready;  // writes sent ahead of session.ready
    Signature signature = Signature::valid;
    size_t ready_piece_size = 0;  // non-zero: session.ready goes out in writes of this size
    std::vector<Bytes> before_config;
    std::optional<std::string> config_json =
        std::string(R"({"terminal_enabled":true,"files_enabled":false})");
    std::vector<Bytes> after_config;  // writes sent once the session is set up
  } handshake;

  // The token of the latest reset.
  const SessionToken& session_token() const { return token_; }
  int resets() const { return resets_; }
  // A session.ready for any token and hello, signed with this KVM's key.
  Bytes ready_frame(const SessionToken& token, std::span<const uint8_t> hello_payload,
                    Signature signature = Signature::valid) const;

  // --- Test side: what the KVM sends and what it got.
  void send(Bytes write);
  void send_frame(MessageId id, std::span<const uint8_t> payload);
  // The same write again whenever nothing else is queued: an endless stream.
  void stream(std::shared_ptr<const Bytes> write);
  const std::vector<KvmFrame>& received() const { return received_; }
  size_t received_bytes() const { return received_bytes_; }
  // Counts what arrives without taking it apart as frames, for streams
  // that are not framed.
  void discard_received() { discard_ = true; }

  // --- Transport side.
  uint8_t interface_number = 0;
  // The data stage of a control IN request; none stalls it.
  std::optional<Bytes> control_in(const ControlSetup& setup);
  // Bytes the host wrote on the bulk OUT endpoint.
  void receive(std::span<const uint8_t> bytes);
  // The next write for the bulk IN endpoint, if any; shared, never copied.
  std::shared_ptr<const Bytes> next_write();

 private:
  Bytes status_record(SessionState state, const SessionToken& token) const;
  void on_frame(KvmFrame frame);
  void answer_hello(std::span<const uint8_t> hello_payload);

  std::array<uint8_t, 32> public_key_{};
  std::array<uint8_t, 64> secret_key_{};
  uint8_t key_seed_;
  SessionToken token_{};
  int resets_ = 0;
  int status_answers_ = 0;
  std::deque<std::shared_ptr<const Bytes>> outbound_;
  std::shared_ptr<const Bytes> stream_;
  Bytes inbound_;
  std::vector<KvmFrame> received_;
  size_t received_bytes_ = 0;
  bool discard_ = false;
};

}  // namespace corvane::test
