#include "session/handshake.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "session/byte_order.hpp"
#include "session/encode.hpp"
#include "session/frame.hpp"
#include "session/ready.hpp"
#include "system/secure_random.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

constexpr auto handshake_deadline = 15s;
// Bytes in front of session.ready that may be skipped: left-overs of an
// earlier session, not a stream that never carries it.
constexpr size_t search_skip_limit = 131072;
constexpr uint32_t protocol_version = 5;
constexpr uint8_t close_not_approved = 3;

// The header of a correct session.ready, then its version and this
// session's token.
constexpr size_t ready_pattern_size = 28;
using ReadyPattern = std::array<uint8_t, ready_pattern_size>;

ReadyPattern ready_pattern(const SessionToken& token) {
  ReadyPattern pattern{};
  auto header = encode_frame_header({message::session_ready.channel, message::session_ready.type,
                                     static_cast<uint32_t>(ready_payload_size)});
  auto at = std::ranges::copy(header, pattern.begin()).out;
  store_le(&*at, protocol_version);
  std::ranges::copy(token, at + 4);
  return pattern;
}

std::unexpected<Error> timed_out_waiting_for(std::string_view what) {
  return fail("timed out waiting for the KVM's " + std::string(what));
}

class Handshake {
 public:
  Handshake(UsbConnection& connection, const SessionToken& token, Clock& clock)
      : connection_(connection), token_(token), clock_(clock) {}

  std::expected<KvmIdentity, HandshakeError> run(const ApprovedList& approved) {
    auto hello = send_hello();
    if (!hello) return std::unexpected(hello.error());
    deadline_ = clock_.now() + handshake_deadline;
    auto ready = find_ready();
    if (!ready) return std::unexpected(ready.error());
    auto fingerprint = verify_ready(*hello, ready->payload);
    if (!fingerprint) return std::unexpected(fingerprint.error());
    if (std::ranges::find(approved, *fingerprint) == approved.end()) {
      if (auto sent = connection_.send_control(encode_session_close(close_not_approved)); !sent) {
        return std::unexpected(sent.error());
      }
      return std::unexpected(UnapprovedKvm{*fingerprint});
    }
    auto settings = read_settings();
    if (!settings) return std::unexpected(settings.error());
    return KvmIdentity{*fingerprint, std::move(*settings)};
  }

 private:
  // Returns the exact payload sent, which the KVM's signature covers.
  Result<std::vector<uint8_t>> send_hello() {
    std::array<uint8_t, hello_nonce_size> nonce;
    if (auto drawn = fill_secure_random(nonce); !drawn) return std::unexpected(drawn.error());
    auto hello = encode_session_hello(token_, nonce);
    if (auto sent = connection_.send_control(hello); !sent) return std::unexpected(sent.error());
    return std::move(hello.payload);
  }

  // One timed read with what remains of the deadline; false when it brought
  // nothing.
  Result<bool> read_more() {
    auto remaining = deadline_ - clock_.now();
    if (remaining <= Clock::duration::zero()) return false;
    return connection_.read(remaining);
  }

  // Skips whatever precedes this session's session.ready, then returns the
  // frame itself.
  Result<Frame> find_ready() {
    const auto pattern = ready_pattern(token_);
    auto& buffer = connection_.receive_buffer();
    size_t skipped = 0;
    for (;;) {
      auto bytes = buffer.bytes();
      if (bytes.size() >= pattern.size()) {
        auto found = std::ranges::search(bytes, pattern);
        if (!found.empty()) {
          buffer.consume(static_cast<size_t>(found.begin() - bytes.begin()));
          return next_frame();
        }
        // The last bytes may be the start of the pattern.
        size_t dropped = bytes.size() - (pattern.size() - 1);
        buffer.consume(dropped);
        skipped += dropped;
        if (skipped > search_skip_limit) {
          return fail("the KVM's session.ready did not arrive within the search limit");
        }
      }
      auto more = read_more();
      if (!more) return std::unexpected(more.error());
      if (!*more) return timed_out_waiting_for("session.ready");
    }
  }

  // The frame at the front of the receive buffer, reading until it is whole.
  Result<Frame> next_frame() {
    auto& buffer = connection_.receive_buffer();
    for (;;) {
      auto read = read_frame(buffer);
      if (!read) return std::unexpected(read.error());
      if (read->complete) return read->frame;
      auto more = read_more();
      if (!more) return std::unexpected(more.error());
      if (!*more) return timed_out_waiting_for("control message");
    }
  }

  Result<SessionSettings> read_settings() {
    auto frame = next_frame();
    if (!frame) return std::unexpected(frame.error());
    if (frame->id() != message::session_config) {
      return fail("the KVM did not send session.config after session.ready");
    }
    std::string_view json(reinterpret_cast<const char*>(frame->payload.data()),
                          frame->payload.size());
    return parse_session_settings(json);
  }

  UsbConnection& connection_;
  const SessionToken& token_;
  Clock& clock_;
  Clock::time_point deadline_{};
};

}  // namespace

std::expected<KvmIdentity, HandshakeError> handshake(UsbConnection& connection,
                                                     const SessionToken& token,
                                                     const ApprovedList& approved, Clock& clock) {
  return Handshake(connection, token, clock).run(approved);
}

}  // namespace corvane
