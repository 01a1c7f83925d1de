// The clipboard worker and its handle against a stand-in clipboard: the
// answers and their status codes, the log lines, the cut of long texts,
// a desktop whose clipboard appears later, and a worker that hangs.
#include "services/clipboard/clipboard_worker_handle.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "stderr_capture.hpp"
#include "support/stand_in_clipboard.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

std::string repeat(std::string_view piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

class ClipboardWorkerTest : public testing::Test {
 protected:
  test::StderrCapture log;
  test::StandInClipboard clipboard;
  ClipboardWorkerHandle worker{clipboard.opener()};
};

TEST_F(ClipboardWorkerTest, ReadsAnswerWithTheirStatusAndLogOnlyRealFailures) {
  struct Case {
    const char* name;
    std::optional<std::string> text;
    std::optional<ClipboardFailure> failure;
    uint8_t status;
    std::string logged;
  };
  const std::vector<Case> cases{
      {"text", "grüße", std::nullopt, clipboard_status::done, ""},
      {"no text", std::nullopt, std::nullopt, clipboard_status::no_text, ""},
      {"empty text", "", std::nullopt, clipboard_status::no_text, ""},
      {"no text form", "x", ClipboardFailure{ClipboardFailureKind::no_text, "images only"},
       clipboard_status::no_text, ""},
      {"unsupported", "x", ClipboardFailure{ClipboardFailureKind::unsupported, "no such kind"},
       clipboard_status::unavailable, "corvane: clipboard read failed: no such kind\n"},
      {"failed", "x", ClipboardFailure{ClipboardFailureKind::other, "owner vanished"},
       clipboard_status::failed, "corvane: clipboard read failed: owner vanished\n"},
  };
  for (const auto& c : cases) {
    const auto before = log.text().size();
    clipboard.with_state([&](auto& state) {
      state.text = c.text;
      state.read_failure = c.failure;
    });
    auto answer = worker.get();
    ASSERT_TRUE(answer) << c.name;
    EXPECT_EQ(answer->status, c.status) << c.name;
    EXPECT_FALSE(answer->truncated) << c.name;
    EXPECT_EQ(answer->text, c.status == clipboard_status::done ? *c.text : "") << c.name;
    EXPECT_EQ(log.text().substr(before), c.logged) << c.name;
  }
  EXPECT_EQ(clipboard.opens(), 1);
}

TEST_F(ClipboardWorkerTest, WritesAnswerWithTheirStatus) {
  EXPECT_EQ(worker.set("from the KVM"), clipboard_status::done);
  EXPECT_EQ(clipboard.text(), "from the KVM");
  clipboard.with_state([](auto& state) {
    state.write_failure = ClipboardFailure{ClipboardFailureKind::unsupported, "read-only"};
  });
  EXPECT_EQ(worker.set("a"), clipboard_status::unavailable);
  clipboard.with_state([](auto& state) {
    state.write_failure = ClipboardFailure{ClipboardFailureKind::other, "server gone"};
  });
  EXPECT_EQ(worker.set("b"), clipboard_status::failed);
  EXPECT_EQ(clipboard.text(), "from the KVM");
  EXPECT_EQ(log.text(),
            "corvane: clipboard write failed: read-only\n"
            "corvane: clipboard write failed: server gone\n");
}

TEST_F(ClipboardWorkerTest, LongTextsAreCutBeforeTheCharacterThatCrossesTheLimit) {
  // Exactly at the limit: whole.
  const auto fitting = std::string(clipboard_text_limit - 2, 'a') + "é";
  clipboard.set_text(fitting);
  auto whole = worker.get();
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->text, fitting);
  EXPECT_FALSE(whole->truncated);

  // 70000 bytes of which a three-byte character straddles the limit and
  // the rest are two-byte characters.
  const auto prefix = std::string(clipboard_text_limit - 1, 'a');
  const auto long_text = prefix + "€" + repeat("é", 2235);
  ASSERT_EQ(long_text.size(), 70000u);
  clipboard.set_text(long_text);
  auto cut = worker.get();
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->status, clipboard_status::done);
  EXPECT_TRUE(cut->truncated);
  EXPECT_EQ(cut->text, prefix);
}

TEST(CutOnCharacterBoundary, StepsBackOverContinuationBytesOnly) {
  struct Case {
    std::string text;
    size_t limit;
    std::string expected;
    bool cut;
  };
  const std::vector<Case> cases{
      {"abc", 3, "abc", false},   {"abcd", 3, "abc", true},     {"ab€", 3, "ab", true},
      {"a€b", 4, "a€", true},     {"a😀", 4, "a", true},       {"😀", 2, "", true},
  };
  for (const auto& c : cases) {
    auto text = c.text;
    EXPECT_EQ(cut_on_character_boundary(text, c.limit), c.cut) << c.text;
    EXPECT_EQ(text, c.expected) << c.text;
  }
}

TEST_F(ClipboardWorkerTest, BytesThatAreNotUtf8ReachTheKvmAsText) {
  clipboard.set_text(std::string("ok\xff\x80", 4));
  auto answer = worker.get();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->text, "ok\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(ClipboardWorkerTest, AClipboardThatCannotBeOpenedIsTriedAgainOnEveryRequest) {
  clipboard.with_state([](auto& state) { state.openable = false; });
  EXPECT_FALSE(worker.probe());
  auto answer = worker.get();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, clipboard_status::unavailable);
  EXPECT_EQ(worker.set("x"), clipboard_status::unavailable);
  EXPECT_EQ(log.count("corvane: clipboard unavailable: no X11 display: DISPLAY is not set\n"), 3u);

  clipboard.with_state([](auto& state) {
    state.openable = true;
    state.text = "now there";
  });
  EXPECT_TRUE(worker.probe());
  answer = worker.get();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, clipboard_status::done);
  EXPECT_EQ(answer->text, "now there");
  EXPECT_EQ(clipboard.opens(), 1);
  EXPECT_EQ(log.count("corvane: clipboard unavailable"), 3u);
}

// Takes clipboard_answer_time of real time.
TEST_F(ClipboardWorkerTest, AWorkerStuckInAReadIsReplacedAndTheNextRequestIsServed) {
  clipboard.set_text("text");
  ASSERT_TRUE(worker.probe());
  clipboard.with_state([](auto& state) { state.reads_hang = true; });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(worker.get(), std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - start, clipboard_answer_time);
  EXPECT_EQ(log.text(), "corvane: clipboard worker did not answer; replacing it\n");

  // The old worker stays stuck; a fresh one opens its own clipboard.
  clipboard.with_state([](auto& state) { state.reads_hang = false; });
  EXPECT_EQ(worker.set("after"), clipboard_status::done);
  EXPECT_EQ(clipboard.opens(), 2);
  clipboard.release_reads();
  auto answer = worker.get();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->text, "after");
}

}  // namespace
}  // namespace corvane
