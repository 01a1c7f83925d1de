// File drops through a served session: the USB reader saves the bytes,
// follows session.config on its own, and cleans up when the session ends.
#include <gtest/gtest.h>

#include <filesystem>

#include "kvm_fixture.hpp"
#include "kvm_messages.hpp"
#include "replies.hpp"
#include "session/kvm_session.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::Reply;

class FilesSessionTest : public testing::Test, protected test::KvmFixture {
 protected:
  FilesSessionTest() {
    fs::create_directories(home / ".config");
    fs::create_directory(downloads);
    test::write_file(home / ".config/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n");
  }

  std::unique_ptr<KvmSession> start() {
    device = &plug_approved();
    device->with_kvm([](test::SimulatedKvm& kvm) {
      kvm.handshake.config_json = R"({"terminal_enabled":false,"files_enabled":true})";
    });
    auto connected = connect(host, *store_path(), steady_clock());
    EXPECT_TRUE(connected);
    if (!connected) return nullptr;
    return std::make_unique<KvmSession>(std::move(*connected), stop, services());
  }
  void kvm_sends(const test::Bytes& frame) {
    device->with_kvm([&](test::SimulatedKvm& kvm) { kvm.send(frame); });
  }
  std::vector<Reply> file_replies() {
    std::vector<Reply> replies;
    for (const auto& frame : device->received()) {
      if (frame.channel == message::file_accept.channel && frame.id() != message::file_state) {
        replies.push_back(test::parse_reply(frame.id(), frame.payload));
      }
    }
    return replies;
  }
  bool replied(const Reply& reply) {
    return test::eventually([&] {
      auto replies = file_replies();
      return std::find(replies.begin(), replies.end(), reply) != replies.end();
    });
  }

  fs::path downloads = home / "Downloads";
  StopFlag stop = make_stop_flag();
  test::SimulatedUsbDevice* device = nullptr;
};

TEST_F(FilesSessionTest, ADroppedFileIsSavedInTheDownloadsFolder) {
  auto session = start();
  ASSERT_TRUE(session);
  const std::string content = "dropped through the KVM";
  std::vector<uint8_t> bytes(content.begin(), content.end());
  kvm_sends(test::file_drop_frame(4, bytes.size(), "note.txt"));
  kvm_sends(test::chunk_frame(message::file_chunk, 4, 0, bytes));
  ASSERT_TRUE(replied(test::result(4, 0, (downloads / "note.txt").string())));
  EXPECT_EQ(file_replies().front(), test::accept(4));
  EXPECT_EQ(test::read_file(downloads / "note.txt"), content);
}

TEST_F(FilesSessionTest, TheSessionEndingMidTransferRemovesThePartialFileWithoutAResult) {
  auto session = start();
  ASSERT_TRUE(session);
  kvm_sends(test::file_drop_frame(1, 100, "part.bin"));
  kvm_sends(test::chunk_frame(message::file_chunk, 1, 0, std::vector<uint8_t>(10, 'p')));
  ASSERT_TRUE(test::eventually([&] {
    std::error_code ignored;
    return fs::file_size(downloads / "part.bin", ignored) == 10;
  }));
  stop->store(true);
  ASSERT_EQ(session->wait_step().kind, WaitOutcome::Kind::end_normally);
  session->end_normally();
  session.reset();
  EXPECT_FALSE(fs::exists(downloads / "part.bin"));
  EXPECT_EQ(file_replies(), std::vector<Reply>{test::accept(1)});
}

TEST_F(FilesSessionTest, SwitchingFilesOffCancelsTheTransferAndTheHubReportsTheState) {
  auto session = start();
  ASSERT_TRUE(session);
  kvm_sends(test::file_drop_frame(2, 100, "part.bin"));
  kvm_sends(test::chunk_frame(message::file_chunk, 2, 0, std::vector<uint8_t>(10, 'p')));
  kvm_sends(test::session_config_frame(R"({"terminal_enabled":false,"files_enabled":false})"));
  ASSERT_TRUE(replied(test::result(2, 2)));
  EXPECT_FALSE(fs::exists(downloads / "part.bin"));
  ASSERT_TRUE(test::eventually([&] {
    auto outcome = session->wait_step();
    EXPECT_EQ(outcome.error, "");
    return received(*device, message::file_state);
  }));
  kvm_sends(test::file_drop_frame(3, 1, "late.bin"));
  ASSERT_TRUE(replied(test::result(3, 1)));
  EXPECT_FALSE(fs::exists(downloads / "late.bin"));
}

}  // namespace
}  // namespace corvane
