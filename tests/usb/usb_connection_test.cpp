// The connection to one KVM interface: claim, session reset, endpoints, the
// IN pool, timed reads and writes, and the message sink, against the
// simulated KVM in simulated time.
#include "session/usb_connection.hpp"

#include <gtest/gtest.h>

#include <thread>

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
using test::SimulatedUsbDevice;

Bytes pattern_bytes(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

class UsbConnectionTest : public testing::Test {
 protected:
  Result<OpenedConnection> open() {
    auto device = host_.open(1, 2);
    if (!device) return fail(device.error().message);
    return open_connection(std::move(*device), 0, clock_);
  }

  std::shared_ptr<UsbConnection> open_ready() {
    auto opened = open();
    EXPECT_TRUE(opened) << opened.error().message;
    return opened ? opened->connection : nullptr;
  }

  void script(const std::function<void(SimulatedKvm&)>& change) { kvm_.with_kvm(change); }

  void expect_released() {
    EXPECT_FALSE(kvm_.is_open());
    EXPECT_FALSE(kvm_.is_claimed());
    EXPECT_EQ(kvm_.outstanding_transfers(), 0u);
  }

  SimulatedClock clock_;
  InProcessUsbHost host_{clock_};
  SimulatedUsbDevice& kvm_ = host_.plug();
};

TEST_F(UsbConnectionTest, ResetPollsEvery25MsUntilReadyAndKeepsTheResetsToken) {
  script([](SimulatedKvm& kvm) { kvm.reset.resetting_answers = 3; });
  auto opened = open();
  ASSERT_TRUE(opened) << opened.error().message;
  SessionToken expected;
  script([&](SimulatedKvm& kvm) { expected = kvm.session_token(); });
  EXPECT_EQ(opened->token, expected);
  EXPECT_EQ(clock_.elapsed(), 75ms);
  EXPECT_TRUE(kvm_.is_claimed());
  EXPECT_EQ(kvm_.outstanding_transfers(), 4u);  // the IN pool
}

TEST_F(UsbConnectionTest, ResetFailuresEndTheAttemptAndReleaseTheDevice) {
  struct Case {
    const char* name;
    SimulatedKvm::ResetScript reset;
    const char* error;
  };
  const Case cases[] = {
      {"never ready", {-1, SessionState::ready, false},
       "the KVM did not finish resetting its USB session"},
      {"superseded", {2, SessionState::ready, true}, "the KVM session reset was superseded"},
      {"in use", {1, SessionState::in_use, false}, "the KVM session is already in use"},
      {"cancel failed", {0, SessionState::cancel_failed, false},
       "the KVM could not cancel its USB requests; restart the KVM"},
  };
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    script([&](SimulatedKvm& kvm) { kvm.reset = test_case.reset; });
    auto start = clock_.elapsed();
    auto opened = open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message, test_case.error);
    expect_released();
    if (test_case.reset.resetting_answers < 0) {
      EXPECT_GE(clock_.elapsed() - start, 15s);
      EXPECT_LT(clock_.elapsed() - start, 15s + 50ms);
    } else {
      EXPECT_LT(clock_.elapsed() - start, 1s);
    }
  }
}

TEST_F(UsbConnectionTest, AClaimFailureIsTheFacilitysText) {
  kvm_.fail_claim("interface is busy");
  auto opened = open();
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().message, "interface is busy");
  expect_released();
}

TEST(BulkEndpoints, TheLastBulkOutAndTheLastBulkInAreUsed) {
  struct Case {
    const char* name;
    InterfaceDescriptor descriptor;
    std::optional<BulkEndpoints> endpoints;
    const char* error;
  };
  const EndpointDescriptor bulk_out_1{0x01, 0x02, 512}, bulk_out_3{0x03, 0x02, 512},
      bulk_in_1{0x81, 0x02, 512}, bulk_in_4{0x84, 0x02, 64}, interrupt_in{0x85, 0x03, 8},
      interrupt_out{0x06, 0x03, 8};
  const Case cases[] = {
      {"several of each",
       {true, {bulk_out_1, bulk_in_1, bulk_out_3, bulk_in_4, interrupt_in, interrupt_out}},
       BulkEndpoints{0x03, 0x84, 64},
       nullptr},
      {"no descriptor", {false, {}}, std::nullopt, "the Corvane interface has no active descriptor"},
      {"only interrupt OUT", {true, {interrupt_out, bulk_in_1}}, std::nullopt,
       "the Corvane interface has no bulk OUT endpoint"},
      {"nothing at all", {true, {}}, std::nullopt, "the Corvane interface has no bulk OUT endpoint"},
      {"no bulk IN", {true, {bulk_out_1, interrupt_in}}, std::nullopt,
       "the Corvane interface has no bulk IN endpoint"},
  };
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    auto selected = select_bulk_endpoints(test_case.descriptor);
    if (test_case.endpoints) {
      ASSERT_TRUE(selected) << selected.error().message;
      EXPECT_EQ(selected->out_address, test_case.endpoints->out_address);
      EXPECT_EQ(selected->in_address, test_case.endpoints->in_address);
      EXPECT_EQ(selected->in_max_packet_size, test_case.endpoints->in_max_packet_size);
    } else {
      ASSERT_FALSE(selected);
      EXPECT_EQ(selected.error().message, test_case.error);
    }
  }
}

TEST(UsbConnectionPool, InTransfersAre64KiBRoundedUpToWholePackets) {
  for (auto [packet, transfer] : {std::pair<uint16_t, size_t>{512, 65536}, {1000, 66000},
                                  {64, 65536}, {0x1800 | 1023, 65472 + 1023}}) {
    SCOPED_TRACE(packet);
    SimulatedClock clock;
    InProcessUsbHost host(clock);
    test::SimulatedDeviceConfig config;
    config.endpoints[0] = {{0x01, 0x02, 512}, {0x81, 0x02, packet}};
    auto& kvm = host.plug(config);
    kvm.with_kvm([](SimulatedKvm& k) { k.send(pattern_bytes(200000)); });
    auto opened = open_connection(std::move(*host.open(1, 2)), 0, clock);
    ASSERT_TRUE(opened) << opened.error().message;
    auto& connection = *opened->connection;
    ASSERT_EQ(connection.read(1s), true);
    EXPECT_EQ(connection.receive_buffer().size(), transfer);
  }
}

TEST_F(UsbConnectionTest, ReadAppendsWhatArrivesAndReportsNothingWhenTheTimeoutPasses) {
  auto connection = open_ready();
  ASSERT_TRUE(connection);
  EXPECT_EQ(connection->read(50ms), false);
  EXPECT_EQ(clock_.elapsed(), 50ms);

  // Frames cross transfer boundaries; several share one transfer.
  Bytes stream;
  for (uint32_t n = 0; n < 3; ++n) {
    auto frame = test::frame_bytes({4, 4}, pattern_bytes(40000 + n));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  script([&](SimulatedKvm& kvm) { kvm.send(stream); });
  while (connection->receive_buffer().size() < stream.size()) {
    ASSERT_EQ(connection->read(1s), true);
  }
  auto& buffer = connection->receive_buffer();
  for (uint32_t n = 0; n < 3; ++n) {
    auto frame = read_frame(buffer);
    ASSERT_TRUE(frame && frame->complete);
    EXPECT_EQ(frame->frame.payload.size(), 40000 + n);
  }
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(kvm_.outstanding_transfers(), 4u);
}

TEST_F(UsbConnectionTest, ControlMessagesGoOutIn64KiBPiecesHeaderFirst) {
  auto connection = open_ready();
  ASSERT_TRUE(connection);
  auto payload = pattern_bytes(65536);
  ASSERT_TRUE(connection->send_control(ControlMessage({0, 6}, payload)));
  EXPECT_EQ(kvm_.out_transfer_sizes(), (std::vector<size_t>{65536, 8}));
  auto received = kvm_.received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].id(), (MessageId{0, 6}));
  EXPECT_EQ(received[0].payload, payload);

  auto too_large = connection->send_control(ControlMessage({0, 6}, pattern_bytes(65537)));
  ASSERT_FALSE(too_large);
  EXPECT_EQ(too_large.error().message, "control payload is too large: 65537");
  EXPECT_EQ(kvm_.out_transfer_sizes().size(), 2u);
  // Completions are seen as they happen: no write waited for a poll step.
  EXPECT_EQ(clock_.elapsed(), 0ms);
}

TEST_F(UsbConnectionTest, AccessUnitsFillTheirFirstPieceToExactly64KiB) {
  auto connection = open_ready();
  ASSERT_TRUE(connection);
  struct Case {
    size_t data;
    std::vector<size_t> pieces;
  };
  const Case cases[] = {
      {100, {120}},
      {65516, {65536}},
      {65517, {65536, 1}},
      {200000, {65536, 65536, 65536, 3412}},
  };
  size_t seen = 0;
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.data);
    auto data = pattern_bytes(test_case.data);
    ASSERT_TRUE(connection->send_access_unit({0x0102030405060708, true, true}, data));
    auto sizes = kvm_.out_transfer_sizes();
    EXPECT_EQ(std::vector<size_t>(sizes.begin() + static_cast<ptrdiff_t>(seen), sizes.end()),
              test_case.pieces);
    seen = sizes.size();
    auto unit = kvm_.received().back();
    EXPECT_EQ(unit.id(), message::video_access_unit);
    ASSERT_EQ(unit.payload.size(), test_case.data + 12);
    EXPECT_EQ(load_le<uint64_t>(unit.payload.data()), 0x0102030405060708u);
    EXPECT_EQ(load_le<uint32_t>(unit.payload.data() + 8), 3u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), unit.payload.begin() + 12));
  }
  auto empty = connection->send_access_unit({}, {});
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().message, "invalid encoded access-unit size: 0");
  EXPECT_EQ(kvm_.out_transfer_sizes().size(), seen);
}

TEST_F(UsbConnectionTest, AWriteTheKvmNeverReadsKillsTheConnectionAfter30s) {
  auto connection = open_ready();
  ASSERT_TRUE(connection);
  kvm_.stop_reading();
  auto sent = connection->send_control(ControlMessage({0, 3}, {}));
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().message, "USB session cancelled or write timed out");
  EXPECT_GE(clock_.elapsed(), 30s);
  EXPECT_LT(clock_.elapsed(), 30s + 50ms);
  EXPECT_TRUE(connection->is_cancelled());
  EXPECT_EQ(kvm_.outstanding_transfers(), 0u);

  auto start = clock_.elapsed();
  auto read = connection->read(1s);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message, "USB session cancelled");
  auto written = connection->write(Bytes(8));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().message, "USB session cancelled");
  EXPECT_EQ(clock_.elapsed(), start);

  connection.reset();
  expect_released();
}

TEST_F(UsbConnectionTest, AnUnplugInTheMiddleOfATransferFailsTheSendAndEveryRead) {
  auto connection = open_ready();
  ASSERT_TRUE(connection);
  kvm_.unplug_after_received(100000);
  auto sent = connection->send_access_unit({}, pattern_bytes(300000));
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().message, "USB transfer failed");
  EXPECT_EQ(kvm_.received_bytes(), 100000u);
  auto read = connection->read(1s);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message, "USB transfer failed");
  auto again = connection->write(Bytes(8));
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message, "device disconnected");
  connection.reset();
  expect_released();
}

TEST_F(UsbConnectionTest, CancelStopsEveryUserAndDroppingReleasesTheDevice) {
  auto connection = open_ready();
  ASSERT_TRUE(connection);
  auto flag = connection->cancel_flag();
  connection->cancel();
  EXPECT_TRUE(flag->load());
  EXPECT_EQ(kvm_.outstanding_transfers(), 0u);
  auto read = connection->read(1s);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message, "USB session cancelled");
  auto sent = connection->send_control(ControlMessage({0, 3}, {}));
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().message, "USB session cancelled");
  EXPECT_TRUE(kvm_.is_claimed());
  connection.reset();
  expect_released();
}

// Real threads and the real clock: the writer notices a flag set elsewhere
// while its piece is stuck, instead of waiting out the 30 s.
TEST(UsbConnectionThreads, AWaitingWriterStopsWhenAnotherThreadSetsTheCancelFlag) {
  InProcessUsbHost host(steady_clock());
  auto& kvm = host.plug();
  auto opened = open_connection(std::move(*host.open(1, 2)), 0, steady_clock());
  ASSERT_TRUE(opened) << opened.error().message;
  auto connection = opened->connection;
  kvm.stop_reading();
  Result<> sent;
  std::thread writer([&] { sent = connection->send_control(ControlMessage({0, 3}, {})); });
  while (kvm.outstanding_transfers() < 5) std::this_thread::sleep_for(1ms);
  connection->cancel_flag()->store(true);
  writer.join();
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().message, "USB session cancelled or write timed out");
  EXPECT_EQ(kvm.outstanding_transfers(), 0u);
}

}  // namespace
}  // namespace corvane
