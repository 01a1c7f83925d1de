#include "supervisor/dialog.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.hpp"

namespace corvane {
namespace {

TEST(Dialog, CommandLineCarriesTheFixedArgumentsFirst) {
  auto command = dialog_command("--warning", "USB access not allowed", "text", {"--extra", "x"});
  EXPECT_EQ(command.program, "zenity");
  EXPECT_EQ(command.args, (std::vector<std::string>{"--warning", "--no-markup", "--width", "460",
                                                    "--title", "USB access not allowed",
                                                    "--text", "text", "--extra", "x"}));
}

class DialogChildTest : public ::testing::Test {
 protected:
  // A stand-in dialog program that behaves as told.
  DialogCommand program(const std::string& body) {
    auto path = dir / ("dialog" + std::to_string(++count));
    test::write_file(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return {path.string(), {}};
  }
  DialogState poll_until_end(DialogChild& dialog) {
    for (;;) {
      auto state = dialog.poll();
      EXPECT_TRUE(state);
      if (*state != DialogState::running) return *state;
      ::usleep(10000);
    }
  }
  test::TempDir dir;
  int count = 0;
};

TEST_F(DialogChildTest, TheOkButtonIsReportedOnce) {
  auto dialog = DialogChild::start(program("exit 0"));
  ASSERT_TRUE(dialog);
  EXPECT_EQ(poll_until_end(*dialog), DialogState::accepted);
  EXPECT_EQ(dialog->poll(), DialogState::ended);
  EXPECT_FALSE(dialog->running());
}

TEST_F(DialogChildTest, CancelAndFailureAreBothEnded) {
  for (const char* body : {"exit 1", "exit 5", "kill -9 $$"}) {
    auto dialog = DialogChild::start(program(body));
    ASSERT_TRUE(dialog);
    EXPECT_EQ(poll_until_end(*dialog), DialogState::ended) << body;
  }
}

TEST_F(DialogChildTest, PollingNeverWaitsAndCloseKillsARunningDialog) {
  auto marker = dir / "still-there";
  auto dialog = DialogChild::start(program("sleep 30; touch " + marker.string()));
  ASSERT_TRUE(dialog);
  EXPECT_EQ(dialog->poll(), DialogState::running);
  EXPECT_TRUE(dialog->running());
  dialog->close();
  EXPECT_FALSE(dialog->running());
  EXPECT_EQ(dialog->poll(), DialogState::ended);
}

TEST_F(DialogChildTest, NoDialogProgramMeansNoChild) {
  EXPECT_FALSE(DialogChild::start({"corvane-no-such-dialog-program", {}}));
}

}  // namespace
}  // namespace corvane
