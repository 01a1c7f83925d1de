// The candidate loop: every KVM interface on the bus is tried in turn, and
// the failures of all are condensed into one outcome.
#include "session/connect.hpp"

#include <gtest/gtest.h>

#include "approval.hpp"
#include "in_process_usb.hpp"
#include "support/simulated_clock.hpp"
#include "support/temp_dir.hpp"

namespace corvane {
namespace {

using test::InProcessUsbHost;
using test::SimulatedClock;
using test::SimulatedDeviceConfig;
using test::SimulatedKvm;
using test::SimulatedUsbDevice;

constexpr const char* access_text =
    "permission denied opening the KVM; install the USB access rule and reconnect it";

SimulatedDeviceConfig device(uint8_t address, std::optional<std::string> product,
                             uint8_t key_seed) {
  SimulatedDeviceConfig config;
  config.address = address;
  config.product = std::move(product);
  config.key_seed = key_seed;
  return config;
}

class ConnectTest : public testing::Test {
 protected:
  std::expected<ConnectedKvm, ConnectError> run() { return connect(host_, store_, clock_); }

  void approve_kvm(SimulatedUsbDevice& kvm) { ASSERT_TRUE(approve(store_, kvm.fingerprint())); }

  static std::string text_of(const std::expected<ConnectedKvm, ConnectError>& outcome) {
    return outcome ? "connected" : connect_error_text(outcome.error());
  }

  static void expect_released(SimulatedUsbDevice& kvm) {
    EXPECT_FALSE(kvm.is_open());
    EXPECT_FALSE(kvm.is_claimed());
    EXPECT_EQ(kvm.outstanding_transfers(), 0u);
  }

  test::TempDir home_;
  std::filesystem::path store_ = home_ / "approved-kvms";
  SimulatedClock clock_;
  InProcessUsbHost host_{clock_};
};

TEST_F(ConnectTest, ConnectsToAnApprovedKvm) {
  auto& kvm = host_.plug(device(5, std::nullopt, 1));
  approve_kvm(kvm);
  auto connected = run();
  ASSERT_TRUE(connected) << text_of(connected);
  EXPECT_EQ(connected->candidate.label, "unknown KVM (1d6b:0104)");
  EXPECT_EQ(connected->fingerprint, kvm.fingerprint());
  EXPECT_TRUE(connected->settings.terminal_enabled);
  EXPECT_TRUE(kvm.is_claimed());
  EXPECT_FALSE(connected->connection->is_cancelled());
}

TEST_F(ConnectTest, TriesTheEmulationDeviceFirstEvenWhenListedSecond) {
  auto& other = host_.plug(device(2, "Other KVM", 1));
  auto& tarvek = host_.plug(device(3, "Tarvek USB Emulation Device", 2));
  approve_kvm(other);
  approve_kvm(tarvek);
  auto connected = run();
  ASSERT_TRUE(connected) << text_of(connected);
  EXPECT_EQ(connected->candidate.address, 3);
  EXPECT_EQ(other.times_opened(), 0);
}

TEST_F(ConnectTest, MovesOnPastAFailingCandidateAndReleasesIt) {
  auto& tarvek = host_.plug(device(2, "Tarvek USB Emulation Device", 1));
  auto& other = host_.plug(device(3, "Other KVM", 2));
  tarvek.with_kvm([](SimulatedKvm& kvm) { kvm.handshake.answer_hello = false; });
  approve_kvm(other);
  auto connected = run();
  ASSERT_TRUE(connected) << text_of(connected);
  EXPECT_EQ(connected->candidate.address, 3);
  expect_released(tarvek);
}

TEST_F(ConnectTest, ListsOrdinaryFailuresFirstThenPermissionRefusals) {
  auto& tarvek = host_.plug(device(2, "Tarvek USB Emulation Device", 1));
  auto& other = host_.plug(device(3, "Other KVM", 2));
  tarvek.refuse_open_for_permission();
  other.with_kvm([](SimulatedKvm& kvm) { kvm.reset.final_state = SessionState::in_use; });
  auto outcome = run();
  ASSERT_FALSE(outcome);
  ASSERT_TRUE(std::holds_alternative<Error>(outcome.error()));
  EXPECT_EQ(text_of(outcome),
            std::string("no Corvane USB interface completed the handshake: "
                        "Other KVM (1d6b:0104): the KVM session is already in use; "
                        "Tarvek USB Emulation Device (1d6b:0104): ") +
                access_text);
  expect_released(other);
}

TEST_F(ConnectTest, OnlyPermissionRefusalsAreUsbAccessDenied) {
  host_.plug(device(2, "Tarvek USB Emulation Device", 1)).refuse_open_for_permission();
  host_.plug(device(3, "Other KVM", 2)).refuse_open_for_permission();
  auto outcome = run();
  ASSERT_FALSE(outcome);
  EXPECT_TRUE(std::holds_alternative<UsbAccessDenied>(outcome.error()));
  EXPECT_EQ(text_of(outcome), access_text);
}

TEST_F(ConnectTest, AnUnapprovedKvmIsNotApprovedWithItsFingerprintAndCandidate) {
  auto& kvm = host_.plug(device(4, "Tarvek USB Emulation Device", 1));
  auto outcome = run();
  ASSERT_FALSE(outcome);
  const auto* not_approved = std::get_if<NotApproved>(&outcome.error());
  ASSERT_NE(not_approved, nullptr);
  EXPECT_EQ(not_approved->fingerprint, kvm.fingerprint());
  EXPECT_EQ(not_approved->candidate.address, 4);
  EXPECT_EQ(text_of(outcome),
            "the KVM " + format_fingerprint(kvm.fingerprint()) + " is not approved on this computer");
  EXPECT_EQ(kvm.received().back().id(), message::session_close);
  expect_released(kvm);
}

TEST_F(ConnectTest, AnOrdinaryFailureOutweighsNotApproved) {
  host_.plug(device(2, "Tarvek USB Emulation Device", 1));
  auto& broken = host_.plug(device(3, "Other KVM", 2));
  broken.with_kvm([](SimulatedKvm& kvm) { kvm.reset.superseded = true; });
  auto outcome = run();
  ASSERT_FALSE(outcome);
  EXPECT_EQ(text_of(outcome),
            "no Corvane USB interface completed the handshake: "
            "Other KVM (1d6b:0104): the KVM session reset was superseded");
}

TEST_F(ConnectTest, NoCandidateIsItsOwnError) {
  SimulatedDeviceConfig keyboard;
  keyboard.interfaces = {{0, 0x03, 0x01, 0x01}};
  auto& plugged = host_.plug(keyboard);
  auto outcome = run();
  ASSERT_FALSE(outcome);
  EXPECT_EQ(text_of(outcome), "no Corvane USB interface found");
  EXPECT_EQ(plugged.times_opened(), 0);
}

TEST_F(ConnectTest, AnUnreadableStoreIsTheOutcomeAndNoDeviceIsTouched) {
  auto& kvm = host_.plug();
  test::write_file(store_, "not a fingerprint\n");
  auto expected = load_approved(store_);
  ASSERT_FALSE(expected);
  auto outcome = run();
  ASSERT_FALSE(outcome);
  EXPECT_EQ(text_of(outcome), expected.error().message);
  EXPECT_EQ(kvm.times_opened(), 0);
}

}  // namespace
}  // namespace corvane
