#include "simulated_kvm.hpp"

#include <sodium.h>

#include <algorithm>
#include <string_view>

#include "session/byte_order.hpp"
#include "system/sodium.hpp"

namespace corvane::test {
namespace {

constexpr std::string_view signing_context = "Corvane session.ready v5";
constexpr std::array<uint8_t, 4> status_magic{'T', 'R', 'K', '5'};
constexpr uint8_t vendor_in_to_interface = 0xc1;
constexpr uint16_t status_request_value = 5;
constexpr uint8_t reset_request = 0x40;
constexpr uint8_t status_request = 0x41;
constexpr size_t status_size = 24;
constexpr uint32_t version = 5;
constexpr size_t hello_size = 52;

}  // namespace

Bytes frame_bytes(MessageId id, std::span<const uint8_t> payload) {
  Bytes bytes(8 + payload.size());
  store_le(bytes.data(), id.channel);
  store_le(bytes.data() + 2, id.type);
  store_le(bytes.data() + 4, static_cast<uint32_t>(payload.size()));
  std::ranges::copy(payload, bytes.begin() + 8);
  return bytes;
}

SimulatedKvm::SimulatedKvm(uint8_t key_seed) : key_seed_(key_seed) {
  (void)init_sodium();
  std::array<uint8_t, crypto_sign_SEEDBYTES> seed;
  seed.fill(key_seed);
  crypto_sign_seed_keypair(public_key_.data(), secret_key_.data(), seed.data());
}

Fingerprint SimulatedKvm::fingerprint() const {
  std::array<uint8_t, crypto_hash_sha256_BYTES> digest;
  crypto_hash_sha256(digest.data(), public_key_.data(), public_key_.size());
  Fingerprint fingerprint;
  std::copy_n(digest.begin(), fingerprint.bytes.size(), fingerprint.bytes.begin());
  return fingerprint;
}

Bytes SimulatedKvm::ready_frame(const SessionToken& token, std::span<const uint8_t> hello_payload,
                                Signature signature) const {
  Bytes payload(116);
  store_le(payload.data(), version);
  std::ranges::copy(token, payload.begin() + 4);
  std::ranges::copy(public_key_, payload.begin() + 20);

  Bytes hello(hello_payload.begin(), hello_payload.end());
  if (signature == Signature::over_other_nonce && hello.size() == hello_size) hello[20] ^= 0xff;
  Bytes signed_bytes(signing_context.begin(), signing_context.end());
  signed_bytes.insert(signed_bytes.end(), hello.begin(), hello.end());
  signed_bytes.insert(signed_bytes.end(), payload.begin(), payload.begin() + 52);
  crypto_sign_detached(payload.data() + 52, nullptr, signed_bytes.data(), signed_bytes.size(),
                       secret_key_.data());
  if (signature == Signature::tampered) payload[60] ^= 0x01;
  return frame_bytes(message::session_ready, payload);
}

void SimulatedKvm::send(Bytes write) {
  outbound_.push_back(std::make_shared<const Bytes>(std::move(write)));
}

void SimulatedKvm::send_frame(MessageId id, std::span<const uint8_t> payload) {
  send(frame_bytes(id, payload));
}

void SimulatedKvm::stream(std::shared_ptr<const Bytes> write) { stream_ = std::move(write); }

Bytes SimulatedKvm::status_record(SessionState state, const SessionToken& token) const {
  Bytes record(status_size, 0);
  std::ranges::copy(status_magic, record.begin());
  record[4] = static_cast<uint8_t>(state);
  std::ranges::copy(token, record.begin() + 8);
  return record;
}

std::optional<Bytes> SimulatedKvm::control_in(const ControlSetup& setup) {
  if (setup.request_type != vendor_in_to_interface || setup.value != status_request_value ||
      setup.index != interface_number || setup.length < status_size) {
    return std::nullopt;
  }
  if (setup.request == reset_request) {
    ++resets_;
    status_answers_ = 0;
    token_ = {0x5a, key_seed_};
    store_le(token_.data() + 2, static_cast<uint32_t>(resets_));
    return status_record(SessionState::resetting, token_);
  }
  if (setup.request == status_request) {
    ++status_answers_;
    bool resetting = reset.resetting_answers < 0 || status_answers_ <= reset.resetting_answers;
    SessionToken token = token_;
    if (reset.superseded) token[15] ^= 0xff;
    return status_record(resetting ? SessionState::resetting : reset.final_state, token);
  }
  return std::nullopt;
}

void SimulatedKvm::receive(std::span<const uint8_t> bytes) {
  received_bytes_ += bytes.size();
  if (discard_) return;
  inbound_.insert(inbound_.end(), bytes.begin(), bytes.end());
  size_t at = 0;
  while (inbound_.size() - at >= 8) {
    uint32_t length = load_le<uint32_t>(inbound_.data() + at + 4);
    if (inbound_.size() - at - 8 < length) break;
    auto start = inbound_.begin() + static_cast<ptrdiff_t>(at + 8);
    on_frame({load_le<uint16_t>(inbound_.data() + at), load_le<uint16_t>(inbound_.data() + at + 2),
              Bytes(start, start + length)});
    at += 8 + length;
  }
  inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<ptrdiff_t>(at));
}

void SimulatedKvm::on_frame(KvmFrame frame) {
  received_.push_back(std::move(frame));
  const auto& latest = received_.back();
  // A hello for another session is not this KVM's to answer.
  bool for_this_session = latest.payload.size() == hello_size &&
                          load_le<uint32_t>(latest.payload.data()) == version &&
                          std::equal(token_.begin(), token_.end(), latest.payload.begin() + 4);
  if (latest.id() == message::session_hello && for_this_session) answer_hello(latest.payload);
}

void SimulatedKvm::answer_hello(std::span<const uint8_t> hello_payload) {
  if (!handshake.answer_hello) return;
  for (const auto& write : handshake.before_ready) send(write);
  Bytes ready = ready_frame(token_, hello_payload, handshake.signature);
  size_t piece = handshake.ready_piece_size ? handshake.ready_piece_size : ready.size();
  for (size_t at = 0; at < ready.size(); at += piece) {
    auto start = ready.begin() + static_cast<ptrdiff_t>(at);
    send(Bytes(start, start + static_cast<ptrdiff_t>(std::min(piece, ready.size() - at))));
  }
  for (const auto& write : handshake.before_config) send(write);
  if (handshake.config_json) {
    const auto& json = *handshake.config_json;
    send_frame(message::session_config,
               std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()));
  }
  for (const auto& write : handshake.after_config) send(write);
}

std::shared_ptr<const Bytes> SimulatedKvm::next_write() {
  if (outbound_.empty()) return stream_;
  auto write = std::move(outbound_.front());
  outbound_.pop_front();
  return write;
}

}  // namespace corvane::test
