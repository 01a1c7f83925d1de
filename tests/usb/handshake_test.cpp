// The handshake against the simulated KVM, in simulated time.
#include "session/handshake.hpp"

#include <gtest/gtest.h>

#include "in_process_usb.hpp"
#include "session/byte_order.hpp"
#include "session/frame.hpp"
#include "support/simulated_clock.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::InProcessUsbHost;
using test::SimulatedClock;
using test::SimulatedKvm;

// Old frames of an earlier session: file chunks of 10000 bytes each.
std::vector<Bytes> stale_frames(size_t total) {
  std::vector<Bytes> writes;
  for (size_t sent = 0; sent < total;) {
    size_t payload = std::min<size_t>(10000, total - sent - 8);
    writes.push_back(test::frame_bytes(message::file_chunk, Bytes(payload, 0xee)));
    sent += writes.back().size();
  }
  return writes;
}

class HandshakeTest : public testing::Test {
 protected:
  void SetUp() override { approved_ = {kvm_.fingerprint()}; }

  void script(const std::function<void(SimulatedKvm&)>& change) { kvm_.with_kvm(change); }

  std::expected<KvmIdentity, HandshakeError> run() {
    auto opened = open_connection(std::move(*host_.open(1, 2)), 0, clock_);
    EXPECT_TRUE(opened) << opened.error().message;
    if (!opened) return std::unexpected(opened.error());
    connection_ = opened->connection;
    started_ = clock_.elapsed();
    return handshake(*connection_, opened->token, approved_, clock_);
  }

  std::string error_of(const std::expected<KvmIdentity, HandshakeError>& outcome) {
    if (outcome) return "succeeded";
    if (const auto* error = std::get_if<Error>(&outcome.error())) return error->message;
    return "not approved";
  }

  Clock::duration waited() const { return clock_.elapsed() - started_; }

  SimulatedClock clock_;
  InProcessUsbHost host_{clock_};
  test::SimulatedUsbDevice& kvm_ = host_.plug();
  ApprovedList approved_;
  std::shared_ptr<UsbConnection> connection_;
  Clock::duration started_{};
};

TEST_F(HandshakeTest, AnApprovedKvmProvesItsKeyAndSendsItsSettings) {
  script([](SimulatedKvm& kvm) {
    kvm.handshake.config_json = R"({"terminal_enabled":false,"files_enabled":true,)"
                                R"("capture_display":null})";
  });
  auto identity = run();
  ASSERT_TRUE(identity) << error_of(identity);
  EXPECT_EQ(identity->fingerprint, kvm_.fingerprint());
  EXPECT_EQ(identity->settings, (SessionSettings{false, true, std::nullopt, false}));

  auto received = kvm_.received();
  ASSERT_EQ(received.size(), 1u);
  const auto& hello = received[0];
  EXPECT_EQ(hello.id(), message::session_hello);
  ASSERT_EQ(hello.payload.size(), 52u);
  EXPECT_EQ(load_le<uint32_t>(hello.payload.data()), 5u);
  SessionToken token;
  script([&](SimulatedKvm& kvm) { token = kvm.session_token(); });
  EXPECT_TRUE(std::equal(token.begin(), token.end(), hello.payload.begin() + 4));
}

TEST_F(HandshakeTest, EveryAttemptDrawsAFreshNonce) {
  std::vector<Bytes> nonces;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_TRUE(run());
    connection_.reset();
    auto hello = kvm_.received().back();
    ASSERT_EQ(hello.id(), message::session_hello);
    nonces.emplace_back(hello.payload.begin() + 20, hello.payload.end());
  }
  EXPECT_NE(nonces[0], nonces[1]);
}

TEST_F(HandshakeTest, BytesAfterSessionConfigStayForTheSession) {
  auto video_config = test::frame_bytes(message::video_config, Bytes(20, 0));
  script([&](SimulatedKvm& kvm) {
    const auto& json = *kvm.handshake.config_json;
    Bytes config = test::frame_bytes(message::session_config,
                                     Bytes(json.begin(), json.end()));
    // session.config and the next message arrive in one transfer.
    config.insert(config.end(), video_config.begin(), video_config.end());
    kvm.handshake.config_json.reset();
    kvm.handshake.before_config = {config};
  });
  ASSERT_TRUE(run());
  auto next = read_frame(connection_->receive_buffer());
  ASSERT_TRUE(next && next->complete);
  EXPECT_EQ(next->frame.id(), message::video_config);
}

TEST_F(HandshakeTest, SessionReadyIsFoundBehindWhateverPrecedesIt) {
  struct Case {
    const char* name;
    std::function<void(SimulatedKvm&)> script;
  };
  const Case cases[] = {
      {"100000 bytes of old frames",
       [](SimulatedKvm& kvm) { kvm.handshake.before_ready = stale_frames(100000); }},
      {"a session.ready of an earlier session",
       [](SimulatedKvm& kvm) {
         SessionToken old_token{0x5a, 0x01, 0x7f};
         kvm.handshake.before_ready = {kvm.ready_frame(old_token, Bytes(52, 1))};
       }},
      {"split across many reads", [](SimulatedKvm& kvm) { kvm.handshake.ready_piece_size = 7; }},
      {"garbage that ends like the pattern's start",
       [](SimulatedKvm& kvm) { kvm.handshake.before_ready = {Bytes{0, 0, 2, 0, 116, 0, 0, 0}}; }},
  };
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    script(test_case.script);
    auto identity = run();
    EXPECT_TRUE(identity) << error_of(identity);
    connection_.reset();
    script([](SimulatedKvm& kvm) { kvm.handshake = {}; });
  }
}

TEST_F(HandshakeTest, TooManySkippedBytesFailWithoutWaitingForTheDeadline) {
  script([](SimulatedKvm& kvm) {
    kvm.handshake.answer_hello = false;
    kvm.send(Bytes(140000, 0xee));
  });
  auto identity = run();
  EXPECT_EQ(error_of(identity), "the KVM's session.ready did not arrive within the search limit");
  EXPECT_EQ(waited(), 0ms);
}

TEST_F(HandshakeTest, FailuresEndTheAttemptWithTheirText) {
  struct Case {
    const char* name;
    std::function<void(SimulatedKvm&)> script;
    const char* error;
    Clock::duration waited;
  };
  const Case cases[] = {
      {"no answer", [](SimulatedKvm& kvm) { kvm.handshake.answer_hello = false; },
       "timed out waiting for the KVM's session.ready", 15s},
      {"no session.config", [](SimulatedKvm& kvm) { kvm.handshake.config_json.reset(); },
       "timed out waiting for the KVM's control message", 15s},
      {"tampered signature",
       [](SimulatedKvm& kvm) { kvm.handshake.signature = SimulatedKvm::Signature::tampered; },
       "the KVM's session.ready signature is invalid", 0s},
      {"signed over another nonce",
       [](SimulatedKvm& kvm) {
         kvm.handshake.signature = SimulatedKvm::Signature::over_other_nonce;
       },
       "the KVM's session.ready signature is invalid", 0s},
      {"a frame before session.config",
       [](SimulatedKvm& kvm) {
         kvm.handshake.before_config = {test::frame_bytes(message::video_request_keyframe, {})};
       },
       "the KVM did not send session.config after session.ready", 0s},
      {"session.config without files_enabled",
       [](SimulatedKvm& kvm) { kvm.handshake.config_json = R"({"terminal_enabled":true})"; },
       "missing field `files_enabled`", 0s},
      {"a header above its limit after session.ready",
       [](SimulatedKvm& kvm) {
         Bytes header(8, 0);
         store_le<uint16_t>(header.data() + 2, 5);
         store_le<uint32_t>(header.data() + 4, 70000);
         kvm.handshake.before_config = {header};
       },
       "KVM message payload is too large: 70000", 0s},
  };
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    script(test_case.script);
    auto identity = run();
    EXPECT_EQ(error_of(identity), test_case.error);
    EXPECT_GE(waited(), test_case.waited);
    EXPECT_LT(waited(), test_case.waited + 50ms);
    connection_.reset();
    EXPECT_FALSE(kvm_.is_claimed());
    script([](SimulatedKvm& kvm) { kvm.handshake = {}; });
  }
}

TEST_F(HandshakeTest, ASessionReadyCutShortTimesOutWaitingForTheControlMessage) {
  script([](SimulatedKvm& kvm) { kvm.handshake.answer_hello = false; });
  auto opened = open_connection(std::move(*host_.open(1, 2)), 0, clock_);
  ASSERT_TRUE(opened) << opened.error().message;
  connection_ = opened->connection;
  script([&](SimulatedKvm& kvm) {
    auto ready = kvm.ready_frame(opened->token, Bytes(52));
    kvm.send(Bytes(ready.begin(), ready.begin() + 60));
  });
  auto identity = handshake(*connection_, opened->token, approved_, clock_);
  EXPECT_EQ(error_of(identity), "timed out waiting for the KVM's control message");
  EXPECT_GE(clock_.elapsed(), 15s);
}

TEST_F(HandshakeTest, AKvmThatIsNotApprovedIsToldSoBeforeTheAttemptEnds) {
  approved_ = {SimulatedKvm(9).fingerprint()};
  auto identity = run();
  ASSERT_FALSE(identity);
  const auto* unapproved = std::get_if<UnapprovedKvm>(&identity.error());
  ASSERT_NE(unapproved, nullptr);
  EXPECT_EQ(unapproved->fingerprint, kvm_.fingerprint());
  auto received = kvm_.received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1].id(), message::session_close);
  EXPECT_EQ(received[1].payload, Bytes{3});
}

}  // namespace
}  // namespace corvane
