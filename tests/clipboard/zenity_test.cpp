// The real zenity takes the dialogs' command lines: each dialog opens a
// window on a real X server and stays up until it is closed, where wrong
// arguments would make zenity print its usage and exit at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

#include "approval_wait.hpp"
#include "desktop_peers.hpp"
#include "supervisor/dialog.hpp"
#include "supervisor/usb_access_prompt.hpp"

namespace corvane {
namespace {

struct ConnectionDeleter {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// Whether any top-level window on the display is mapped.
bool a_window_is_mapped(xcb_connection_t* connection) {
  auto* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
      xcb_query_tree_reply(connection, xcb_query_tree(connection, screen->root), nullptr),
      &std::free);
  if (!tree) return false;
  auto* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
    std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
        xcb_get_window_attributes_reply(connection,
                                        xcb_get_window_attributes(connection, children[i]),
                                        nullptr),
        &std::free);
    if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE) return true;
  }
  return false;
}

class ZenityTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.started()) << "Xvfb could not be started";
    // Whatever GTK keeps for the user goes into the test's folder.
    if (const char* home = std::getenv("HOME")) saved_home = home;
    ::setenv("HOME", files.path().c_str(), 1);
  }
  void TearDown() override {
    if (saved_home) ::setenv("HOME", saved_home->c_str(), 1);
  }

  // Shows the dialog, waits for its window, closes it, and checks that
  // zenity was still running and complained about nothing it was given.
  void shows(const DialogCommand& dialog) {
    const auto errors = files / "stderr";
    std::vector<std::string> args{"-c", "exec \"$0\" \"$@\" 2>'" + errors.string() + "'",
                                  dialog.program};
    args.insert(args.end(), dialog.args.begin(), dialog.args.end());
    auto zenity = ChildProcess::spawn("sh", args);
    ASSERT_TRUE(zenity) << "zenity could not be started";
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection(xcb_connect(nullptr, nullptr));
    ASSERT_FALSE(xcb_connection_has_error(connection.get()));
    EXPECT_TRUE(test::within_ten_seconds([&] { return a_window_is_mapped(connection.get()); }))
        << test::read_file(errors);
    auto ended = zenity->try_wait();
    ASSERT_TRUE(ended);
    EXPECT_FALSE(ended->ended) << describe_wait_status(ended->status) << "\n"
                               << test::read_file(errors);
    ::kill(zenity->pid(), SIGTERM);
    auto status = zenity->wait();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status)) << describe_wait_status(*status);
    const auto text = test::read_file(errors);
    EXPECT_EQ(text.find("Unknown option"), std::string::npos) << text;
    EXPECT_EQ(text.find("Usage"), std::string::npos) << text;
  }

  test::Xvfb xvfb;
  test::TempDir files;
  std::optional<std::string> saved_home;
};

TEST_F(ZenityTest, TheApprovalDialogOpensAndStaysUntilClosed) {
  shows(approval_dialog("0A:1B:2C:3D:4E:5F:60:71", true));
}

TEST_F(ZenityTest, TheUsbAccessQuestionOpensAndStaysUntilClosed) {
  shows(usb_access_question());
}

}  // namespace
}  // namespace corvane
