// The Wayland clipboard against a real compositor (headless sway) with
// wl-copy and wl-paste as the other programs.
#include "services/clipboard/wayland_clipboard.hpp"

#include <gtest/gtest.h>

#include "desktop_peers.hpp"
#include "services/clipboard/desktop_clipboard.hpp"

namespace corvane {
namespace {

std::string long_text() {
  std::string text;
  while (text.size() < 70000) text += "zeile " + std::to_string(text.size()) + " ✓\n";
  return text;
}

std::string wl_paste_output() {
  return test::run_shell("timeout 5 wl-paste --no-newline 2>/dev/null").output;
}

class WaylandClipboardTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sway.started()) << "sway could not be started";
    // The desktop's opener picks Wayland when WAYLAND_DISPLAY is set.
    auto opened = open_desktop_clipboard();
    ASSERT_TRUE(opened) << opened.error().message;
    clipboard = std::move(*opened);
  }

  void wl_copy_sets(const std::string& text) {
    test::write_file(files / "input", text);
    wl_copy = test::start_with_input(files / "input", "wl-copy --foreground");
    ASSERT_TRUE(wl_copy) << "wl-copy could not be started";
    ASSERT_TRUE(test::within_ten_seconds([&] { return wl_paste_output() == text; }));
  }

  test::HeadlessSway sway;
  test::TempDir files;
  std::unique_ptr<ClipboardFacility> clipboard;
  std::optional<ChildProcess> wl_copy;
};

TEST_F(WaylandClipboardTest, AnEmptyClipboardHoldsNoText) {
  auto read = clipboard->read_text();
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind, ClipboardFailureKind::no_text);
}

TEST_F(WaylandClipboardTest, ReadsWhatAnotherProgramCopied) {
  for (const auto& text : {std::string("grüße aus wl-copy"), long_text()}) {
    wl_copy_sets(text);
    auto read = clipboard->read_text();
    ASSERT_TRUE(read) << read.error().text;
    EXPECT_EQ(*read, text);
    wl_copy.reset();
  }
}

TEST_F(WaylandClipboardTest, ServesWhatWeSetToOtherProgramsAfterTheCallReturned) {
  for (const auto& text : {std::string("from the KVM ✓"), long_text()}) {
    ASSERT_TRUE(clipboard->write_text(text));
    EXPECT_TRUE(test::within_ten_seconds([&] { return wl_paste_output() == text; }));
    EXPECT_EQ(wl_paste_output(), text);
    auto own = clipboard->read_text();
    ASSERT_TRUE(own) << own.error().text;
    EXPECT_EQ(*own, text);
  }
}

TEST_F(WaylandClipboardTest, AnotherProgramTakingTheClipboardOverIsWhatWeReadNext) {
  ASSERT_TRUE(clipboard->write_text("ours"));
  wl_copy_sets("theirs");
  auto read = clipboard->read_text();
  ASSERT_TRUE(read) << read.error().text;
  EXPECT_EQ(*read, "theirs");
}

}  // namespace
}  // namespace corvane
