// The update receiver against a real staging folder: refusals and their
// texts, credit, the digest check, and that nothing half-written stays.
#include "services/update/update_receiver.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "replies.hpp"
#include "stderr_capture.hpp"
#include "support/temp_dir.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::Reply;

std::vector<uint8_t> package_bytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + i / 509);
  return bytes;
}

std::array<uint8_t, 32> sha256(const std::vector<uint8_t>& bytes) {
  std::array<uint8_t, 32> digest{};
  crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
  return digest;
}

Reply accepted(uint32_t id) { return test::accept(id, 524288, true); }
Reply granted(uint32_t id, uint32_t amount) { return test::credit(id, amount, true); }
Reply outcome(uint32_t id, uint32_t status, std::string text = {}) {
  return test::result(id, status, std::move(text), true);
}

TEST(InstallTarget, TheStagingFileIsAHiddenSiblingOfTheProgram) {
  EXPECT_EQ(install_target_for("/opt/apps/corvane.AppImage").staging_path,
            "/opt/apps/.corvane.AppImage.update");
  EXPECT_EQ(install_target_for("/corvane").staging_path, "/.corvane.update");
  EXPECT_EQ(install_target_for("corvane").staging_path, ".corvane.update");
  EXPECT_EQ(install_target_for("/opt/apps/corvane.AppImage").platform, 2u);
}

// Public: the refusal cases arrange the fixture through a reference.
class UpdateReceiverTest : public testing::Test {
 public:
  UpdateReceiver& receiver() {
    if (!updates) updates.emplace(target, staged, outbound.sender);
    return *updates;
  }
  std::vector<Reply> replies() { return test::take_replies(outbound.receiver); }
  void begin(uint32_t id, uint64_t size, const std::array<uint8_t, 32>& digest,
             std::string version = "0.4.6") {
    receiver().begin(UpdateBegin{id, size, digest, std::move(version)});
  }
  void send(uint32_t id, uint64_t offset, std::vector<uint8_t> data) {
    receiver().chunk(UpdateChunk{id, offset, std::move(data)});
  }
  // Sends the package in pieces, as far as the credit allows.
  void send_all(uint32_t id, const std::vector<uint8_t>& bytes, size_t piece = 65536) {
    for (size_t offset = 0; offset < bytes.size(); offset += piece) {
      auto end = std::min(bytes.size(), offset + piece);
      send(id, offset, {bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(end)});
    }
  }
  fs::path staging() const { return target->staging_path; }

  test::StderrCapture log;
  test::TempDir apps;
  std::optional<InstallTarget> target = install_target_for((apps / "corvane.AppImage").string());
  std::shared_ptr<StagedSlot> staged = std::make_shared<StagedSlot>();
  Channel<OutboundCommand> outbound = make_channel<OutboundCommand>();
  std::optional<UpdateReceiver> updates;
};

TEST_F(UpdateReceiverTest, AVerifiedPackageIsStagedWithCreditOnTheWay) {
  auto bytes = package_bytes(1 << 20);
  begin(5, bytes.size(), sha256(bytes));
  send_all(5, bytes, 60000);
  auto got = replies();
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got.front(), accepted(5));
  EXPECT_EQ(got[1], granted(5, 180000));
  EXPECT_EQ(got.back(), outcome(5, 0));
  auto package = staged->take();
  ASSERT_TRUE(package);
  EXPECT_EQ(package->package, staging());
  EXPECT_EQ(package->target.program_path, target->program_path);
  EXPECT_EQ(test::read_file(staging()), std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(log.text(), "corvane: receiving the update to 0.4.6\n");
}

TEST_F(UpdateReceiverTest, RefusalsCarryTheirReasonAndLeaveNothingBehind) {
  struct Case {
    const char* what;
    std::function<void(UpdateReceiverTest&)> arrange;
    uint64_t size;
    std::string reason;
  };
  const std::vector<Case> cases{
      {"no target", [](UpdateReceiverTest& test) { test.target.reset(); }, 10,
       "this installation cannot update itself"},
      {"too large", [](UpdateReceiverTest&) {}, 1073741825,
       "the package is too large: 1073741825 bytes"},
      {"already installing",
       [](UpdateReceiverTest& test) {
         test.staged->store({*test.target, test.staging()});
       },
       10, "an update is already installing"},
      {"staging folder is a file",
       [](UpdateReceiverTest& test) {
         test::write_file(test.apps / "file", "");
         test.target = install_target_for((test.apps / "file/corvane.AppImage").string());
       },
       10, "could not create the staging file: Not a directory"},
  };
  for (const auto& refusal : cases) {
    target = install_target_for((apps / "corvane.AppImage").string());
    staged->take();
    updates.reset();
    refusal.arrange(*this);
    begin(3, refusal.size, {}, "9.9");
    EXPECT_EQ(replies(), std::vector<Reply>{outcome(3, 1, refusal.reason)}) << refusal.what;
    EXPECT_EQ(log.count("corvane: update to 9.9 refused: " + refusal.reason + "\n"), 1u)
        << refusal.what;
    EXPECT_FALSE(fs::exists(apps / ".corvane.AppImage.update")) << refusal.what;
  }
}

TEST_F(UpdateReceiverTest, TheLargestPackageIsAccepted) {
  begin(1, 1073741824, {});
  EXPECT_EQ(replies(), std::vector<Reply>{accepted(1)});
  EXPECT_TRUE(fs::exists(staging()));
}

TEST_F(UpdateReceiverTest, AWrongDigestRemovesTheStagingFile) {
  auto bytes = package_bytes(1000);
  auto digest = sha256(bytes);
  digest[0] ^= 1;
  begin(2, bytes.size(), digest);
  send_all(2, bytes);
  EXPECT_EQ(replies(), (std::vector<Reply>{accepted(2),
                                           outcome(2, 1, "the package does not match its SHA-256")}));
  EXPECT_FALSE(fs::exists(staging()));
  EXPECT_FALSE(staged->holds_package());
  EXPECT_EQ(log.count("corvane: update failed: the package does not match its SHA-256\n"), 1u);
}

TEST_F(UpdateReceiverTest, ABrokenChunkAbandonsThePackage) {
  const std::string reason = "an update chunk is out of sequence or exceeds its credit";
  struct Case {
    const char* what;
    uint64_t size;
    uint64_t offset;
    size_t length;
  };
  for (const auto& bad : {Case{"offset ahead", 600000, 1001, 10},
                          Case{"past the credit", 600000, 1000, 523289},
                          Case{"past the size", 2000, 1000, 1001}}) {
    updates.reset();
    begin(4, bad.size, {});
    send(4, 0, package_bytes(1000));
    send(4, bad.offset, package_bytes(bad.length));
    send(4, 1000, package_bytes(10));
    EXPECT_EQ(replies(), (std::vector<Reply>{accepted(4), outcome(4, 1, reason)})) << bad.what;
    EXPECT_FALSE(fs::exists(staging())) << bad.what;
  }
  EXPECT_EQ(log.count("corvane: update failed: " + reason + "\n"), 3u);
}

TEST_F(UpdateReceiverTest, ACancelRemovesTheFileWithoutALogLine) {
  begin(6, 100, {});
  send(6, 0, package_bytes(10));
  receiver().cancel(UpdateCancel{99});
  receiver().cancel(UpdateCancel{6});
  EXPECT_EQ(replies(), (std::vector<Reply>{accepted(6), outcome(6, 2)}));
  EXPECT_FALSE(fs::exists(staging()));
  EXPECT_EQ(log.count("update failed"), 0u);
}

TEST_F(UpdateReceiverTest, ASecondBeginReplacesTheFirstSilently) {
  auto bytes = package_bytes(5000);
  begin(1, 10000, {});
  send(1, 0, package_bytes(3000));
  begin(2, bytes.size(), sha256(bytes), "0.4.7");
  send(1, 3000, package_bytes(10));
  send_all(2, bytes);
  EXPECT_EQ(replies(), (std::vector<Reply>{accepted(1), accepted(2), outcome(2, 0)}));
  EXPECT_EQ(test::read_file(staging()), std::string(bytes.begin(), bytes.end()));
  EXPECT_TRUE(staged->holds_package());
}

TEST_F(UpdateReceiverTest, DroppingTheReceiverMidTransferRemovesTheStagingFile) {
  begin(1, 100, {});
  send(1, 0, package_bytes(10));
  replies();
  updates.reset();
  EXPECT_TRUE(replies().empty());
  EXPECT_FALSE(fs::exists(staging()));
}

}  // namespace
}  // namespace corvane
