// The USB access prompt with stand-in zenity and pkexec: when it asks,
// what each answer and each pkexec outcome leads to, and what it remembers.
#include "supervisor/usb_access_prompt.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <thread>

#include "in_process_usb.hpp"
#include "stand_in.hpp"
#include "stderr_capture.hpp"
#include "supervisor/linux_access.hpp"

namespace corvane {
namespace {

TEST(InstallCommandText, QuotesOnlyWhatAShellWouldTakeApart) {
  struct Case {
    std::string path;
    std::string shown;
  };
  for (const auto& c : std::vector<Case>{
           {"/opt/corvane/corvane", "/opt/corvane/corvane"},
           {"/a/B9._-+:,@%=", "/a/B9._-+:,@%="},
           {"/home/a b/corvane", "'/home/a b/corvane'"},
           {"", "''"},
           {"/tmp/it's/corvane", "'/tmp/it'\\''s/corvane'"},
           {"/tmp/\xff/x", "'/tmp/\xef\xbf\xbd/x'"},
       }) {
    EXPECT_EQ(install_command_text(c.path), "sudo " + c.shown + " --install-linux-access")
        << c.path;
  }
}

constexpr const char* program = "/tmp/it's/corvane";
const std::string command = "sudo '/tmp/it'\\''s/corvane' --install-linux-access";
constexpr const char* denied = "permission denied opening the KVM";

class UsbAccessPromptTest : public testing::Test {
 protected:
  UsbAccessPromptTest() {
    ::setenv("APPIMAGE", program, 1);
    host->plug();
  }

  void prompt() { usb_access_prompt(denied, prompted, stop, environment); }

  void install_rule() {
    auto path = root / "etc/udev/rules.d/70-corvane.rules";
    std::filesystem::create_directories(path.parent_path());
    test::write_file(path, usb_rule_text);
  }

  CandidateSnapshot now() { return environment.snapshot(); }

  // The question's answer, then pkexec's body.
  void answer(const std::string& question, const std::string& installer) {
    programs.add("zenity", "case \"$1\" in --question) " + question + ";; esac; exit 0");
    programs.add("pkexec", installer);
  }

  test::StderrCapture log;
  test::TempDir root;
  std::shared_ptr<test::InProcessUsbHost> host =
      std::make_shared<test::InProcessUsbHost>(steady_clock());
  test::StandIns programs;
  test::YieldingClock clock;
  UsbAccessEnvironment environment{[host = host] { return candidate_snapshot(*host); },
                                   root.path(), clock};
  PromptedDevices prompted;
  StopFlag stop = make_stop_flag();
};

TEST_F(UsbAccessPromptTest, WithTheRuleInstalledItOnlyLogsAndWaits) {
  answer("exit 0", "exit 0");
  install_rule();
  prompted = CandidateSnapshot{{9, 9}};
  prompt();
  EXPECT_EQ(log.text(), std::string("corvane: ") + denied + "\n");
  EXPECT_EQ(programs.calls("zenity"), 0u);
  EXPECT_EQ(prompted, (CandidateSnapshot{{9, 9}}));
  EXPECT_GE(clock.elapsed(), std::chrono::seconds(2));
}

TEST_F(UsbAccessPromptTest, NotNowIsRememberedUntilTheKvmsChange) {
  answer("exit 1", "exit 0");
  prompt();
  EXPECT_EQ(prompted, now());
  EXPECT_NE(log.text().find("corvane: USB access not allowed; to allow it, run: " + command +
                            "\n"),
            std::string::npos);
  prompt();
  EXPECT_EQ(programs.calls("zenity"), 1u);
  test::SimulatedDeviceConfig replugged;
  replugged.address = 7;
  host->plug(replugged);
  prompt();
  EXPECT_EQ(programs.calls("zenity"), 2u);
  EXPECT_EQ(programs.calls("pkexec"), 0u);
  auto args = programs.args("zenity");
  std::vector<std::string> first(args.begin(), args.begin() + 12);
  EXPECT_EQ(first, (std::vector<std::string>{
                       "--question", "--no-markup", "--width", "460", "--title",
                       "Allow USB access?", "--text",
                       "Corvane cannot open the KVM's USB device. This computer does not allow "
                       "it yet.\n\nTo allow it, select Allow USB Access and enter an "
                       "administrator password. This also installs the screen capture helper. "
                       "The KVM can show your screen after you log out and log in again.",
                       "--ok-label", "Allow USB Access", "--cancel-label", "Not Now"}));
}

TEST_F(UsbAccessPromptTest, WithoutADialogProgramItLogsTheCommandAndDoesNotAskAgain) {
  prompt();
  EXPECT_EQ(log.text(), std::string("corvane: ") + denied +
                            "\ncorvane: no dialog program found to ask for USB access; run: " +
                            command + "\n");
  EXPECT_EQ(prompted, now());
}

TEST_F(UsbAccessPromptTest, AllowRunsPkexecWithThePlainPathAndForgetsTheDevices) {
  answer("exit 0", "exit 0");
  prompted = CandidateSnapshot{{9, 9}};
  prompt();
  EXPECT_EQ(programs.args("pkexec"),
            (std::vector<std::string>{program, "--install-linux-access"}));
  EXPECT_EQ(log.text(), std::string("corvane: ") + denied + "\ncorvane: installed USB access\n");
  EXPECT_FALSE(prompted);
}

TEST_F(UsbAccessPromptTest, AFailedInstallIsExplainedAndWarnedAbout) {
  struct Case {
    std::string installer;
    std::string failure;
  };
  for (const auto& c : std::vector<Case>{
           {"exit 126", "the password dialog was closed"},
           {"exit 127", "no administrator authorized it, or no password dialog could open"},
           {"exit 3", "the install failed (exit status: 3); the log has the reason"},
           {"kill -9 $$", "the install failed (signal: 9 (SIGKILL)); the log has the reason"},
       }) {
    answer("exit 0", c.installer);
    prompted.reset();
    const auto warnings_before = std::ranges::count(programs.args("zenity"), "--warning");
    prompt();
    EXPECT_NE(log.text().find("corvane: USB access not installed: " + c.failure + "; run: " +
                              command + "\n"),
              std::string::npos)
        << c.installer;
    EXPECT_EQ(prompted, now());
    auto args = programs.args("zenity");
    EXPECT_EQ(std::ranges::count(args, "--warning"), warnings_before + 1);
    EXPECT_EQ(std::ranges::count(args, "Corvane could not allow USB access: " + c.failure +
                                           ".\n\nTo allow it, run this command in a "
                                           "terminal:\n\n" +
                                           command),
              1);
  }
}

TEST_F(UsbAccessPromptTest, AnInstallThatPlacedTheRuleButFailedLaterIsReportedAsPartial) {
  auto rule = root / "etc/udev/rules.d/70-corvane.rules";
  std::filesystem::create_directories(rule.parent_path());
  test::write_file(root / "rule", usb_rule_text);
  answer("exit 0", "cp " + (root / "rule").string() + " " + rule.string() + "; exit 1");
  prompt();
  EXPECT_NE(log.text().find("corvane: installed USB access, but not capture: the install failed "
                            "(exit status: 1); the log has the reason\n"),
            std::string::npos);
  EXPECT_FALSE(prompted);
}

TEST_F(UsbAccessPromptTest, WithoutPkexecTheFailureSaysSo) {
  programs.add("zenity", "exit 0");
  prompt();
  EXPECT_NE(log.text().find("corvane: USB access not installed: could not run pkexec: No such "
                            "file or directory; run: "),
            std::string::npos);
}

TEST_F(UsbAccessPromptTest, AStopOrTheRuleAppearingClosesTheQuestion) {
  answer("exec sleep 30", "exit 0");
  for (bool stopping : {false, true}) {
    prompted = CandidateSnapshot{{9, 9}};
    const auto before = programs.calls("zenity");
    std::thread asking([this] { prompt(); });
    ASSERT_TRUE(test::eventually([&] { return programs.calls("zenity") > before; }));
    if (stopping) {
      stop->store(true);
    } else {
      install_rule();
    }
    asking.join();
    const pid_t pid = programs.pid("zenity");
    EXPECT_TRUE(::kill(pid, 0) == -1 && errno == ESRCH) << stopping;
    EXPECT_FALSE(prompted);
    EXPECT_EQ(programs.calls("pkexec"), 0u);
    std::filesystem::remove(root / "etc/udev/rules.d/70-corvane.rules");
  }
}

}  // namespace
}  // namespace corvane
