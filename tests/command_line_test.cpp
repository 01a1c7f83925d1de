#include "command_line.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine_environment.hpp"
#include "support/sandbox.hpp"

namespace corvane {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, PicksExactlyOneModePerShape) {
  const std::pair<Args, Mode> cases[] = {
      {{}, Mode::install_and_notify},
      {{"--run"}, Mode::run},
      {{"--install-service"}, Mode::install_service},
      {{"--uninstall-service"}, Mode::uninstall_service},
      {{"--install-linux-access"}, Mode::install_linux_access},
      {{"--install-linux-usb-access"}, Mode::install_linux_usb_access},
      {{"--install-linux-capture-access"}, Mode::install_linux_capture_access},
      {{"--approve-kvm", "0a1b2c3d4e5f6071"}, Mode::approve_kvm},
      {{"--forget-kvm", "0a1b2c3d4e5f6071"}, Mode::forget_kvm},
      {{"--capture-test"}, Mode::capture_test},
      {{"--capture-test", "--run", "x"}, Mode::capture_test},
  };
  for (const auto& [args, mode] : cases) {
    auto command = parse_command_line(args);
    ASSERT_TRUE(command) << args.size();
    EXPECT_EQ(command->mode, mode);
  }
}

TEST(CommandLine, EverythingElseIsTheUsageError) {
  const Args cases[] = {
      {"--approve-kvm"},
      {"--run", "extra"},
      {"--forget-kvm", "0a1b2c3d4e5f6071", "again"},
      {"--help"},
      {"--run", "--capture-test"},
      {"--RUN"},
      {"--approve-kvm", "0a1b2c3d4e5f6071", "--run"},
      {std::string("--run\xff")},
      {"\xc0\xaf"},  // an overlong slash is not UTF-8
  };
  for (const auto& args : cases) {
    auto command = parse_command_line(args);
    ASSERT_FALSE(command) << args[0];
    EXPECT_EQ(command.error().message, usage_text);
  }
}

TEST(CommandLine, CaptureTestKeepsItsWholeArgumentList) {
  auto command = parse_command_line({"--capture-test", "--display", std::string("\xff\xfe")});
  ASSERT_TRUE(command);
  EXPECT_EQ(command->capture_test_args, (Args{"--capture-test", "--display", ""}));
}

TEST(CommandLine, FingerprintArgumentsAreParsedBeforeAnythingRuns) {
  auto lower = parse_command_line({"--approve-kvm", "0a:1b:2c:3d:4e:5f:60:71"});
  auto grouped = parse_command_line({"--forget-kvm", "0A1B-2C3D 4E5F-6071"});
  ASSERT_TRUE(lower && grouped);
  EXPECT_EQ(lower->fingerprint, grouped->fingerprint);

  auto bad = parse_command_line({"--approve-kvm", "zz"});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, "not a KVM fingerprint: zz");
}

TEST(CommandLine, ProgramReportsUsageAndBadFingerprintsWithStatusOne) {
  test::Sandbox sandbox;
  auto usage = sandbox.run_as_user({"--help"});
  EXPECT_EQ(usage.exit_code, 1);
  EXPECT_EQ(usage.err, std::string("corvane: ") + usage_text + "\n");
  EXPECT_EQ(usage.out, "");

  auto bad = sandbox.run_as_user({"--forget-kvm", "0a 1b"});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_EQ(bad.err, "corvane: not a KVM fingerprint: 0a 1b\n");
  EXPECT_TRUE(sandbox.calls().empty());
}

// The library and helper beside the program are used only where they can be
// trusted; values already in the environment always win.
TEST(EngineEnvironment, DecidesFromTheProgramsPlace) {
  struct Case {
    const char* executable;
    const char* lib;
    const char* helper;
    std::vector<std::string> existing;
    std::optional<std::string> want_lib;
    std::string want_helper;
  };
  const Case cases[] = {
      {"/usr/bin/corvane", nullptr, nullptr,
       {"/usr/bin/../lib/corvane/libscanwell.so.0", "/usr/bin/../lib/corvane/scanwell-helper"},
       "/usr/bin/../lib/corvane/libscanwell.so.0", "/usr/bin/../lib/corvane/scanwell-helper"},
      {"/opt/corvane/bin/corvane", nullptr, nullptr,
       {"/opt/corvane/bin/../lib/corvane/libscanwell.so.0",
        "/opt/corvane/bin/../lib/corvane/scanwell-helper"},
       "/opt/corvane/bin/../lib/corvane/libscanwell.so.0", "/usr/local/libexec/scanwell-helper"},
      {"/usrx/bin/corvane", nullptr, nullptr, {"/usrx/bin/../lib/corvane/scanwell-helper"},
       std::nullopt, "/usr/local/libexec/scanwell-helper"},
      {"/usr/bin/corvane", nullptr, nullptr, {}, std::nullopt,
       "/usr/local/libexec/scanwell-helper"},
      {"/usr/bin/corvane", "", "", {"/usr/bin/../lib/corvane/libscanwell.so.0"}, "", ""},
      {"/usr/bin/corvane", "/x/lib.so", "/x/helper", {}, "/x/lib.so", "/x/helper"},
      {"corvane", nullptr, nullptr, {}, std::nullopt, "/usr/local/libexec/scanwell-helper"},
  };
  for (const auto& c : cases) {
    auto exists = [&](const std::filesystem::path& p) {
      return std::ranges::find(c.existing, p.string()) != c.existing.end();
    };
    auto decided = decide_engine_environment(std::filesystem::path(c.executable), c.lib,
                                             c.helper, exists);
    EXPECT_EQ(decided.scanwell_lib, c.want_lib) << c.executable;
    EXPECT_EQ(decided.scanwell_helper, c.want_helper) << c.executable;
  }
  auto unknown = decide_engine_environment(std::nullopt, nullptr, nullptr,
                                           [](const auto&) { return true; });
  EXPECT_EQ(unknown.scanwell_lib, std::nullopt);
  EXPECT_EQ(unknown.scanwell_helper, "/usr/local/libexec/scanwell-helper");
}

}  // namespace
}  // namespace corvane
