// The approval wait with a stand-in zenity: the question as it is asked,
// the answers, and everything else that ends the wait.
#include "approval_wait.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <thread>

#include "kvm_fixture.hpp"
#include "stand_in.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

class ApprovalWaitTest : public testing::Test, protected test::KvmFixture {
 protected:
  ApprovalWaitTest() : device(host.plug()), text(format_fingerprint(device.fingerprint())) {}

  void wait() { approval_wait(device.fingerprint(), stop, snapshot, clock); }
  std::thread wait_in_background() {
    return std::thread([this] { wait(); });
  }
  bool approved() {
    auto list = load_approved(*store_path());
    return list && std::ranges::find(*list, device.fingerprint()) != list->end();
  }
  std::string first_line() {
    return "corvane: the KVM " + text +
           " is not approved; select Allow in the dialog, or run: corvane --approve-kvm " + text +
           "\n";
  }
  static bool gone(pid_t pid) { return pid > 0 && ::kill(pid, 0) == -1 && errno == ESRCH; }

  test::SimulatedUsbDevice& device;
  std::string text;
  test::StandIns programs;
  test::YieldingClock clock;
  std::function<CandidateSnapshot()> snapshot = [this] { return candidate_snapshot(host); };
  StopFlag stop = make_stop_flag();
};

TEST_F(ApprovalWaitTest, AllowApprovesTheKvmAndEndsTheWait) {
  programs.add("zenity", "exit 0");
  wait();
  EXPECT_TRUE(approved());
  std::string question =
      "It can see your screen, use your clipboard, open a terminal and save files.\n\n"
      "Fingerprint: " +
      text + "\nAllow only if your KVM's settings show this fingerprint.";
  EXPECT_EQ(programs.args("zenity"),
            (std::vector<std::string>{"--question", "--default-cancel", "--title",
                                      "Allow this KVM?", "--text", question, "--ok-label",
                                      "Allow", "--cancel-label", "Don't Allow"}));
  EXPECT_EQ(log.text(), first_line() + "corvane: approved the KVM " + text + "\n");
}

TEST_F(ApprovalWaitTest, TheQuestionWarnsWhenAnotherKvmWasAllowedBefore) {
  ASSERT_TRUE(approve(*store_path(), test::SimulatedKvm(9).fingerprint()));
  programs.add("zenity", "exit 0");
  wait();
  auto args = programs.args("zenity");
  ASSERT_EQ(args.size(), 10u);
  EXPECT_TRUE(args[5].starts_with("This is not the KVM you allowed before.\n\nIt can see"));
}

TEST_F(ApprovalWaitTest, DontAllowLeavesTheWaitRunningUntilApprovedFromATerminal) {
  programs.add("zenity", "exit 1");
  auto waiting = wait_in_background();
  ASSERT_TRUE(test::eventually([&] { return programs.calls("zenity") == 1; }));
  ASSERT_TRUE(test::eventually([&] { return clock.elapsed() >= 5s; }));
  ASSERT_TRUE(approve(*store_path(), device.fingerprint()));
  waiting.join();
  EXPECT_EQ(programs.calls("zenity"), 1u);
  EXPECT_EQ(log.count("corvane: approved the KVM "), 1u);
}

TEST_F(ApprovalWaitTest, UnpluggingOrStoppingEndsTheWaitAndKillsTheDialog) {
  programs.add("zenity", "exec sleep 30");
  for (bool unplug : {true, false}) {
    auto waiting = wait_in_background();
    const auto before = programs.calls("zenity");
    ASSERT_TRUE(test::eventually([&] { return programs.calls("zenity") > before; }));
    if (unplug) {
      device.unplug();
    } else {
      stop->store(true);
    }
    waiting.join();
    EXPECT_TRUE(gone(programs.pid("zenity"))) << unplug;
    EXPECT_FALSE(approved());
  }
}

TEST_F(ApprovalWaitTest, WithoutADialogProgramItSaysSoAndKeepsWatching) {
  auto waiting = wait_in_background();
  ASSERT_TRUE(log.wait_for("corvane: no dialog program found to ask for approval\n"));
  stop->store(true);
  waiting.join();
  EXPECT_EQ(log.text(),
            first_line() + "corvane: no dialog program found to ask for approval\n");
}

TEST_F(ApprovalWaitTest, AnUnreadableStoreEndsInTheErrorPauseWithoutAsking) {
  programs.add("zenity", "exit 0");
  std::filesystem::create_directories(*store_path());
  wait();
  EXPECT_EQ(programs.calls("zenity"), 0u);
  EXPECT_EQ(log.count("\n"), 2u);
  EXPECT_GE(clock.elapsed(), 2s);
}

}  // namespace
}  // namespace corvane
