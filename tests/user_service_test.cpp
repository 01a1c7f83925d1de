#include "supervisor/user_service.hpp"

#include <gtest/gtest.h>

#include "support/sandbox.hpp"

namespace corvane {
namespace {

using test::read_file;
using Calls = std::vector<std::string>;

const char* const import_environment =
    "systemctl --user import-environment DISPLAY XAUTHORITY WAYLAND_DISPLAY XDG_SESSION_TYPE";

TEST(UnitFile, EscapesThePathForSystemd) {
  EXPECT_EQ(escape_exec_path("/opt/a b/\"q\"/100%/$HOME/\\x\t"),
            "/opt/a b/\\\"q\\\"/100%%/$$HOME/\\\\x\t");
  EXPECT_EQ(unit_file_text("/opt/c/corvane"),
            "[Unit]\nDescription=Corvane\nAfter=graphical-session.target\n"
            "PartOf=graphical-session.target\nConditionUser=!@system\n\n[Service]\n"
            "ExecStart=\"/opt/c/corvane\" --run\nRestart=on-failure\nRestartSec=2\n"
            "KillMode=mixed\nTimeoutStopSec=10\n\n[Install]\nWantedBy=graphical-session.target\n");
}

class UserService : public ::testing::Test {
 protected:
  void SetUp() override { sandbox.stand_in("systemctl"); }
  std::filesystem::path unit() const {
    return sandbox.home() / ".config/systemd/user/corvane.service";
  }
  test::Sandbox sandbox;
  const std::string packaged_unit =
      "mkdir -p /usr/lib/systemd/user && touch /usr/lib/systemd/user/corvane.service";
};

TEST_F(UserService, InstallWritesItsOwnUnitAndStartsIt) {
  auto result = sandbox.run_as_user({"--install-service"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(sandbox.calls(), (Calls{"systemctl --user daemon-reload",
                                    "systemctl --user enable corvane.service", import_environment,
                                    "systemctl --user restart corvane.service"}));
  EXPECT_EQ(read_file(unit()), unit_file_text(test::corvane_binary().string()));
}

TEST_F(UserService, TheUnitStartsTheAppImageEvenWhenAPackagedUnitExists) {
  const std::string image = "/home/u/My \"Apps\"/100%$/corvane\t.AppImage";
  auto result = sandbox.run({"--install-service"},
                            {.env = {"APPIMAGE=" + image}, .setup = {packaged_unit}});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(read_file(unit()).find(
                "ExecStart=\"/home/u/My \\\"Apps\\\"/100%%$$/corvane\t.AppImage\" --run\n"),
            std::string::npos);
}

TEST_F(UserService, APathWithALineFeedIsRefusedBeforeAnythingIsWritten) {
  auto result = sandbox.run_as_user({"--install-service"}, {"APPIMAGE=/opt/a\nb"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "corvane: executable path contains a control character\n");
  EXPECT_FALSE(std::filesystem::exists(unit()));
  EXPECT_TRUE(sandbox.calls().empty());
}

TEST_F(UserService, AMaskedUnitIsUnmaskedOnInstallAndLeftMaskedOnRemove) {
  std::filesystem::create_directories(unit().parent_path());
  std::filesystem::create_symlink("/dev/null", unit());

  auto removed = sandbox.run_as_user({"--uninstall-service"});
  EXPECT_EQ(removed.exit_code, 0) << removed.err;
  EXPECT_TRUE(sandbox.calls().empty());
  EXPECT_TRUE(std::filesystem::is_symlink(unit()));

  auto installed = sandbox.run_as_user({"--install-service"});
  EXPECT_EQ(installed.exit_code, 0) << installed.err;
  EXPECT_EQ(sandbox.calls().front(), "systemctl --user unmask corvane.service");
  EXPECT_EQ(sandbox.calls().size(), 5u);
  EXPECT_FALSE(std::filesystem::is_symlink(unit()));
  EXPECT_EQ(read_file(unit()), unit_file_text(test::corvane_binary().string()));
}

TEST_F(UserService, APackagedUnitReplacesALeftoverUserUnit) {
  test::write_file(unit(), "old\n");
  auto installed = sandbox.run({"--install-service"}, {.setup = {packaged_unit}});
  EXPECT_EQ(installed.exit_code, 0) << installed.err;
  EXPECT_EQ(sandbox.calls(),
            (Calls{"systemctl --user disable --now corvane.service",
                   "systemctl --user daemon-reload", import_environment,
                   "systemctl --user restart corvane.service"}));
  EXPECT_FALSE(std::filesystem::exists(unit()));

  test::write_file(unit(), "old\n");
  test::write_file(sandbox.dir() / "calls", "");
  auto removed = sandbox.run({"--uninstall-service"}, {.setup = {packaged_unit}});
  EXPECT_EQ(removed.exit_code, 0) << removed.err;
  EXPECT_EQ(sandbox.calls(), (Calls{"systemctl --user disable --now corvane.service",
                                    "systemctl --user daemon-reload",
                                    "systemctl --user mask --now corvane.service"}));
  EXPECT_FALSE(std::filesystem::exists(unit()));
}

TEST_F(UserService, RemovingNothingRunsNothing) {
  auto removed = sandbox.run_as_user({"--uninstall-service"});
  EXPECT_EQ(removed.exit_code, 0);
  EXPECT_TRUE(sandbox.calls().empty());
}

TEST_F(UserService, StepsStopAtTheFirstFailureWithItsWords) {
  struct Case {
    std::map<std::string, int> statuses;
    std::string line;
    size_t calls;
  };
  const Case cases[] = {
      {{{"--user enable corvane.service", 3}},
       "corvane: systemctl exited with exit status: 3\n", 2},
      {{{"--user restart corvane.service", -9}},
       "corvane: systemctl exited with signal: 9 (SIGKILL)\n", 4},
  };
  for (const auto& c : cases) {
    test::Sandbox fresh;
    fresh.stand_in("systemctl", c.statuses);
    auto result = fresh.run_as_user({"--install-service"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, c.line);
    EXPECT_EQ(fresh.calls().size(), c.calls);
  }
  test::Sandbox without_systemctl;
  auto missing = without_systemctl.run_as_user({"--install-service"});
  EXPECT_EQ(missing.err, "corvane: could not run systemctl: No such file or directory\n");
}

TEST_F(UserService, RootIsRefusedForBothDirections) {
  for (const char* mode : {"--install-service", "--uninstall-service"}) {
    auto result = sandbox.run({mode}, {.as_root = true});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "corvane: install the service as the desktop user, without sudo\n");
  }
  EXPECT_TRUE(sandbox.calls().empty());
  EXPECT_FALSE(std::filesystem::exists(sandbox.home() / ".config"));
}

// Started from a file manager: install, then tell the user in a notification.
TEST_F(UserService, NoArgumentsInstallsAndNotifies) {
  sandbox.stand_in("notify-send");
  auto result = sandbox.run_as_user({});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(sandbox.calls().back(),
            "notify-send --urgency normal Corvane Corvane is running, and starts each time you "
            "sign in. Turn on Corvane in the KVM's web UI.");

  auto as_root = sandbox.run({}, {.as_root = true});
  EXPECT_EQ(as_root.exit_code, 1);
  EXPECT_EQ(as_root.err, "corvane: install the service as the desktop user, without sudo\n");
  EXPECT_EQ(sandbox.calls().back(),
            "notify-send --urgency critical Corvane Corvane could not start: install the service "
            "as the desktop user, without sudo.");
}

TEST_F(UserService, OnATerminalOnlyTheNormalNotificationIsPrinted) {
  sandbox.stand_in("notify-send");
  // The sandbox's standard output is a pipe; run the program under a
  // terminal by hand.
  test::ProgramOptions options{.env = {"HOME=" + sandbox.home().string(),
                                       "PATH=" + sandbox.bin().string()},
                               .stdout_on_terminal = true};
  auto ok = test::run_program({"/usr/bin/unshare", "--user", "--map-user=1000", "--",
                               test::corvane_binary().string()},
                              options);
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
  EXPECT_NE(ok.out.find("Corvane is running, and starts each time you sign in."),
            std::string::npos);
  auto failed = test::run_program(
      {"/usr/bin/unshare", "--user", "--map-root-user", "--", test::corvane_binary().string()},
      options);
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_EQ(failed.out, "");
  for (const auto& call : sandbox.calls()) EXPECT_EQ(call.rfind("notify-send", 0), std::string::npos);
}

}  // namespace
}  // namespace corvane
