// The X11 clipboard against a real X server (Xvfb) with xclip as the other
// program: both directions, large texts incrementally, and what we set
// staying available after the call has returned.
#include "services/clipboard/x11_clipboard.hpp"

#include <gtest/gtest.h>

#include "desktop_peers.hpp"
#include "services/clipboard/desktop_clipboard.hpp"
#include "services/clipboard/clipboard_worker_handle.hpp"

namespace corvane {
namespace {

std::string long_text() {
  std::string text;
  while (text.size() < 70000) text += "line " + std::to_string(text.size()) + " ✓\n";
  text.resize(70000 - 3);
  return text + "€";
}

std::string xclip_output() {
  return test::run_shell("timeout 5 xclip -o -selection clipboard 2>/dev/null").output;
}

class X11ClipboardTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.started()) << "Xvfb could not be started";
    auto opened = open_x11_clipboard();
    ASSERT_TRUE(opened) << opened.error().message;
    clipboard = std::move(*opened);
  }

  // xclip owns the clipboard with text until the test ends.
  void xclip_sets(const std::string& text) {
    test::write_file(files / "input", text);
    xclip = test::start_with_input(files / "input", "xclip -quiet -i -selection clipboard");
    ASSERT_TRUE(xclip) << "xclip could not be started";
    ASSERT_TRUE(test::within_ten_seconds([&] { return xclip_output() == text; }));
  }

  test::Xvfb xvfb;
  test::TempDir files;
  std::unique_ptr<ClipboardFacility> clipboard;
  std::optional<ChildProcess> xclip;
};

TEST_F(X11ClipboardTest, AnUnownedClipboardHoldsNoText) {
  auto read = clipboard->read_text();
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind, ClipboardFailureKind::no_text);
}

TEST_F(X11ClipboardTest, ReadsWhatAnotherProgramCopied) {
  for (const auto& text : {std::string("grüße aus xclip"), long_text()}) {
    xclip_sets(text);
    auto read = clipboard->read_text();
    ASSERT_TRUE(read) << read.error().text;
    EXPECT_EQ(*read, text);
    xclip.reset();
  }
}

TEST_F(X11ClipboardTest, ServesWhatWeSetToOtherProgramsAfterTheCallReturned) {
  for (const auto& text : {std::string("from the KVM ✓"), long_text()}) {
    ASSERT_TRUE(clipboard->write_text(text));
    EXPECT_EQ(xclip_output(), text);
    // And again: serving does not end with the first reader.
    EXPECT_EQ(xclip_output(), text);
  }
}

TEST_F(X11ClipboardTest, ASecondClientReadsALargeTextIncrementally) {
  // Both ends of an INCR transfer are ours here; xclip hands a text of
  // this size over in one piece.
  auto other = open_x11_clipboard();
  ASSERT_TRUE(other) << other.error().message;
  ASSERT_TRUE(clipboard->write_text(long_text()));
  auto read = (*other)->read_text();
  ASSERT_TRUE(read) << read.error().text;
  EXPECT_EQ(*read, long_text());
  // Reading our own text goes through the server as well.
  read = clipboard->read_text();
  ASSERT_TRUE(read) << read.error().text;
  EXPECT_EQ(read->size(), 70000u);
}

TEST_F(X11ClipboardTest, AnotherProgramTakingTheClipboardOverIsWhatWeReadNext) {
  ASSERT_TRUE(clipboard->write_text("ours"));
  xclip_sets("theirs");
  auto read = clipboard->read_text();
  ASSERT_TRUE(read) << read.error().text;
  EXPECT_EQ(*read, "theirs");
}

TEST_F(X11ClipboardTest, TheWorkerOnTheDesktopKeepsServingAfterTheRequest) {
  clipboard.reset();
  auto worker = std::make_shared<ClipboardWorkerHandle>(open_desktop_clipboard);
  EXPECT_TRUE(worker->probe());
  EXPECT_EQ(worker->set("set through the worker"), clipboard_status::done);
  EXPECT_EQ(xclip_output(), "set through the worker");
  xclip_sets("copied elsewhere");
  auto answer = worker->get();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, clipboard_status::done);
  EXPECT_EQ(answer->text, "copied elsewhere");
}

}  // namespace
}  // namespace corvane
