// The file-drop service against real files in a temporary folder, with its
// replies read back from a real outbound queue.
#include "services/file_drop/file_drop_service.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <numeric>
#include <sched.h>

#include "replies.hpp"
#include "stderr_capture.hpp"
#include "support/temp_dir.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::accept;
using test::credit;
using test::Reply;
using test::result;

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  return {bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + count)};
}

std::vector<std::string> folder_names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class FileDropTest : public testing::Test {
 protected:
  FileDropService& service(bool enabled = true) {
    if (!files) files.emplace(destination, enabled, outbound.sender);
    return *files;
  }
  std::vector<Reply> replies() { return test::take_replies(outbound.receiver); }
  std::string path_of(const std::string& name) const { return (folder / name).string(); }

  void drop(std::vector<FileDropEntry> entries) { service().drop(FileDrop{std::move(entries)}); }
  void send(uint32_t id, uint64_t offset, std::vector<uint8_t> data) {
    service().chunk(FileChunk{id, offset, std::move(data)});
  }

  test::StderrCapture log;
  test::TempDir folder;
  std::optional<fs::path> destination = folder.path();
  Channel<OutboundCommand> outbound = make_channel<OutboundCommand>();
  std::optional<FileDropService> files;
};

TEST(FileNames, TakenNamesGetANumberBeforeTheLastExtension) {
  struct Case {
    std::string name;
    std::string second;
  };
  for (const auto& [name, second] : std::vector<Case>{{"report.pdf", "report (2).pdf"},
                                                      {".profile", ".profile (2)"},
                                                      {"archive.tar.gz", "archive.tar (2).gz"},
                                                      {"notes.", "notes (2)."},
                                                      {"README", "README (2)"}}) {
    EXPECT_EQ(numbered_file_name(name, 2), second) << name;
  }
}

TEST_F(FileDropTest, AnExistingNameIsNeverOverwritten) {
  for (auto name : {"report.pdf", ".profile", "archive.tar.gz", "notes."}) {
    test::write_file(folder / name, "mine");
  }
  drop({{1, 0, "report.pdf"}, {2, 0, "report.pdf"}, {3, 0, ".profile"}, {4, 0, "archive.tar.gz"},
        {5, 0, "notes."}});
  EXPECT_EQ(replies(),
            (std::vector<Reply>{accept(1), result(1, 0, path_of("report (2).pdf")), accept(2),
                                result(2, 0, path_of("report (3).pdf")), accept(3),
                                result(3, 0, path_of(".profile (2)")), accept(4),
                                result(4, 0, path_of("archive.tar (2).gz")), accept(5),
                                result(5, 0, path_of("notes (2)."))}));
  EXPECT_EQ(test::read_file(folder / "report.pdf"), "mine");
}

TEST_F(FileDropTest, ASymbolicLinkInTheFolderIsNeverFollowed) {
  test::TempDir elsewhere;
  fs::create_symlink(elsewhere / "target", folder / "evil.txt");
  drop({{1, 3, "evil.txt"}});
  send(1, 0, {'a', 'b', 'c'});
  EXPECT_EQ(replies(), (std::vector<Reply>{accept(1), result(1, 0, path_of("evil (2).txt"))}));
  EXPECT_FALSE(fs::exists(elsewhere / "target"));
  EXPECT_TRUE(fs::is_symlink(folder / "evil.txt"));
}

TEST_F(FileDropTest, AfterAThousandNamesTheFileIsRefused) {
  test::write_file(folder / "a.txt", "");
  for (int n = 2; n <= 1000; ++n) test::write_file(folder / numbered_file_name("a.txt", n), "");
  drop({{7, 1, "a.txt"}});
  EXPECT_EQ(replies(), (std::vector<Reply>{result(7, 1)}));
  EXPECT_EQ(log.text(), "corvane: could not create a.txt: too many files named a.txt\n");
}

TEST_F(FileDropTest, ACreationErrorNamesThePathAndTheNextFileStillStarts) {
  const std::string long_name(300, 'x');
  drop({{1, 1, long_name}, {2, 0, "y"}});
  EXPECT_EQ(replies(), (std::vector<Reply>{result(1, 1), accept(2), result(2, 0, path_of("y"))}));
  EXPECT_EQ(log.text(), "corvane: could not create " + long_name + ": " + path_of(long_name) +
                            ": File name too long\n");
}

TEST_F(FileDropTest, WithoutAFolderEveryFileIsRefused) {
  destination.reset();
  drop({{1, 5, "a"}, {2, 5, "b"}});
  EXPECT_EQ(replies(), (std::vector<Reply>{result(1, 1), result(2, 1)}));
  EXPECT_EQ(log.count("could not create a: no Downloads or home folder is available\n"), 1u);
}

TEST_F(FileDropTest, AMebibyteInChunksOf60000GetsCreditInGrantsAndIsSavedWhole) {
  const size_t size = 1 << 20;
  const size_t piece = 60000;
  auto content = pattern(size);
  drop({{9, size, "big.bin"}});
  EXPECT_EQ(replies(), (std::vector<Reply>{accept(9)}));
  std::vector<Reply> expected;
  uint64_t credit_limit = 524288;
  for (size_t offset = 0; offset < size; offset += piece) {
    size_t count = std::min(piece, size - offset);
    ASSERT_LE(offset + count, credit_limit);
    send(9, offset, slice(content, offset, count));
    auto got = replies();
    if (offset + count == size) {
      EXPECT_EQ(got, (std::vector<Reply>{result(9, 0, path_of("big.bin"))}));
    } else if (!got.empty()) {
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].id, message::file_credit);
      EXPECT_GE(got[0].value, 131072u);
      credit_limit += got[0].value;
    }
    // The third chunk brings the first grant.
    if (offset == 2 * piece) {
      EXPECT_EQ(got, (std::vector<Reply>{credit(9, 180000)}));
      EXPECT_EQ(credit_limit, 704288u);
    }
  }
  EXPECT_EQ(test::read_file(folder / "big.bin"), std::string(content.begin(), content.end()));
}

TEST_F(FileDropTest, ABrokenChunkAbandonsTheFileAndLaterChunksAreIgnored) {
  struct Case {
    const char* what;
    uint64_t size;
    uint64_t offset;
    size_t length;
  };
  // Each after the first 60000 bytes, with 524288 bytes of credit.
  for (const auto& bad : {Case{"offset behind", 600000, 0, 10},
                          Case{"offset ahead", 600000, 60001, 10},
                          Case{"past the credit", 600000, 60000, 464289},
                          Case{"past the size", 100000, 60000, 40001}}) {
    test::TempDir own;
    destination = own.path();
    files.reset();
    drop({{3, bad.size, "f"}});
    send(3, 0, pattern(60000));
    replies();
    send(3, bad.offset, pattern(bad.length));
    EXPECT_EQ(replies(), (std::vector<Reply>{result(3, 1)})) << bad.what;
    EXPECT_FALSE(fs::exists(own / "f")) << bad.what;
    send(3, 60000, pattern(10));
    EXPECT_TRUE(replies().empty()) << bad.what;
  }
  EXPECT_EQ(log.count("corvane: file chunk for f is out of sequence or exceeds credit\n"), 4u);
}

TEST_F(FileDropTest, FilesOfOneDropAreAcceptedOneAfterAnother) {
  drop({{1, 2, "a"}, {2, 0, "b"}, {3, 1, "c"}});
  EXPECT_EQ(replies(), (std::vector<Reply>{accept(1)}));
  send(2, 0, {'x'});  // not current: ignored
  send(1, 0, {'a', 'a'});
  EXPECT_EQ(replies(), (std::vector<Reply>{result(1, 0, path_of("a")), accept(2),
                                           result(2, 0, path_of("b")), accept(3)}));
  send(3, 0, {'c'});
  EXPECT_EQ(replies(), (std::vector<Reply>{result(3, 0, path_of("c"))}));
  EXPECT_EQ(folder_names(folder.path()), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(test::read_file(folder / "b"), "");
}

TEST_F(FileDropTest, CancellingAQueuedFileLeavesTheCurrentOneGoing) {
  drop({{1, 4, "a"}, {2, 4, "b"}});
  service().cancel(FileCancel{2});
  service().cancel(FileCancel{77});
  send(1, 0, {'d', 'a', 't', 'a'});
  EXPECT_EQ(replies(), (std::vector<Reply>{accept(1), result(2, 2), result(1, 0, path_of("a"))}));
}

TEST_F(FileDropTest, CancellingTheCurrentFileRemovesItAndStartsTheNext) {
  drop({{1, 4, "a"}, {2, 0, "b"}});
  send(1, 0, {'d'});
  service().cancel(FileCancel{1});
  EXPECT_EQ(replies(), (std::vector<Reply>{accept(1), result(1, 2), accept(2),
                                           result(2, 0, path_of("b"))}));
  EXPECT_FALSE(fs::exists(folder / "a"));
  EXPECT_TRUE(log.text().empty());
}

TEST_F(FileDropTest, SwitchingFilesOffCancelsTheQueueThenTheCurrentFile) {
  drop({{1, 4, "a"}, {2, 4, "b"}, {3, 4, "c"}});
  send(1, 0, {'d'});
  service().set_files_enabled(false);
  EXPECT_EQ(replies(),
            (std::vector<Reply>{accept(1), result(2, 2), result(3, 2), result(1, 2)}));
  EXPECT_TRUE(folder_names(folder.path()).empty());
  drop({{4, 1, "d"}, {5, 1, "e"}});
  EXPECT_EQ(replies(), (std::vector<Reply>{result(4, 1), result(5, 1)}));
  EXPECT_TRUE(folder_names(folder.path()).empty());
  service().set_files_enabled(true);
  drop({{6, 0, "f"}});
  EXPECT_EQ(replies(), (std::vector<Reply>{accept(6), result(6, 0, path_of("f"))}));
}

TEST_F(FileDropTest, DroppingTheServiceMidTransferRemovesThePartialFileWithoutAWord) {
  drop({{1, 10, "a"}, {2, 0, "b"}});
  send(1, 0, {'1', '2'});
  replies();
  files.reset();
  EXPECT_TRUE(replies().empty());
  EXPECT_TRUE(folder_names(folder.path()).empty());
}

TEST_F(FileDropTest, AFullDiskAbandonsTheFileAndRemovesIt) {
  // A small tmpfs in a mount namespace of this test process only.
  if (::unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no private mount namespace here";
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ASSERT_EQ(::mount("tmpfs", folder.path().c_str(), "tmpfs", 0, "size=256k"), 0);
  drop({{1, 1 << 20, "big.bin"}, {2, 0, "next"}});
  auto content = pattern(60000);
  uint64_t offset = 0;
  std::vector<Reply> got;
  auto failed = [&] { return std::find(got.begin(), got.end(), result(1, 1)) != got.end(); };
  // Well within the credit: 256 KiB fill the disk before 512 KiB are sent.
  while (!failed() && offset < 524288 - content.size()) {
    send(1, offset, content);
    offset += content.size();
    auto more = replies();
    got.insert(got.end(), more.begin(), more.end());
  }
  auto names = folder_names(folder.path());
  ::umount(folder.path().c_str());
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(std::vector<Reply>(got.end() - 3, got.end()),
            (std::vector<Reply>{result(1, 1), accept(2), result(2, 0, path_of("next"))}));
  EXPECT_EQ(names, std::vector<std::string>{"next"});
  EXPECT_EQ(log.count("corvane: writing big.bin failed: No space left on device\n"), 1u);
}

}  // namespace
}  // namespace corvane
