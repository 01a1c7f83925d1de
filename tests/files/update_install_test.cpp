// Installing a staged update: the package replaces a copy of a real
// executable and a stand-in systemctl is asked to restart the service. The
// run loop receives the package from the simulated KVM, ends the session,
// installs it and ends the process with status 0 (checked in a forked
// child, whose files and log the test reads back).
#include "services/update/install_update.hpp"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "kvm_fixture.hpp"
#include "kvm_messages.hpp"
#include "session/run_loop.hpp"
#include "stand_in.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> restart_args{"--user", "--no-block", "restart", "corvane.service"};

mode_t mode_of(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

std::vector<uint8_t> file_bytes(const fs::path& path) {
  auto text = test::read_file(path);
  return {text.begin(), text.end()};
}

class UpdateInstallTest : public testing::Test, protected test::KvmFixture {
 protected:
  UpdateInstallTest() {
    // The running program and the new one: two real executables.
    fs::copy_file("/usr/bin/true", program);
    ::chmod(program.c_str(), 0700);
    package = file_bytes("/usr/bin/false");
  }

  StagedUpdate stage() {
    auto target = install_target_for(program.string());
    test::write_file(target.staging_path, std::string(package.begin(), package.end()));
    ::chmod(target.staging_path.c_str(), 0600);
    return {target, target.staging_path};
  }

  // A KVM that sends the package right after the handshake.
  void plug_updating_kvm() {
    std::array<uint8_t, 32> digest{};
    crypto_hash_sha256(digest.data(), package.data(), package.size());
    auto& device = plug_approved();
    device.with_kvm([&](test::SimulatedKvm& kvm) {
      kvm.handshake.after_config = test::update_frames(8, package, digest);
    });
  }
  RunLoopEnvironment environment(Clock& wait_clock) {
    return {host, steady_clock(), wait_clock, services(),
            [this] { return candidate_snapshot(host); }, root.path()};
  }

  test::StandIns programs;
  test::TempDir apps;
  test::TempDir root;
  fs::path program = apps / "corvane.AppImage";
  std::vector<uint8_t> package;
};

TEST_F(UpdateInstallTest, ThePackageReplacesTheProgramAndTheServiceRestarts) {
  programs.add("systemctl", "exit 0");
  auto staged = stage();
  ASSERT_TRUE(install_update(staged));
  EXPECT_EQ(file_bytes(program), package);
  EXPECT_EQ(mode_of(program), 0755u);
  EXPECT_FALSE(fs::exists(staged.package));
  EXPECT_EQ(programs.args("systemctl"), restart_args);
  EXPECT_EQ(log.text(), "corvane: installing the update over " + program.string() + "\n");
}

TEST_F(UpdateInstallTest, AFailedRestartLeavesTheNewProgramInPlace) {
  programs.add("systemctl", "exit 1");
  auto installed = install_update(stage());
  ASSERT_FALSE(installed);
  EXPECT_EQ(installed.error().message, "systemctl exited with exit status: 1");
  EXPECT_EQ(file_bytes(program), package);
  EXPECT_EQ(log.count("corvane: update not installed: systemctl exited with exit status: 1\n"),
            1u);
}

TEST_F(UpdateInstallTest, APackageThatCannotBeMovedIsRemovedAndNothingRestarts) {
  programs.add("systemctl", "exit 0");
  auto staged = stage();
  staged.target.program_path = (apps / "gone/corvane.AppImage").string();
  ASSERT_FALSE(install_update(staged));
  EXPECT_FALSE(fs::exists(staged.package));
  EXPECT_EQ(file_bytes(program), file_bytes("/usr/bin/true"));
  EXPECT_EQ(programs.calls("systemctl"), 0u);
  EXPECT_EQ(log.count("corvane: update not installed: could not move the package over "), 1u);
}

TEST_F(UpdateInstallTest, TheRunLoopInstallsAReceivedPackageAndExitsWithStatusZero) {
  programs.add("systemctl", "exit 0");
  ::setenv("APPIMAGE", program.c_str(), 1);
  plug_updating_kvm();
  auto stop = make_stop_flag();
  // Forked, not re-run: the child shares this test's folders.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        ::alarm(60);
        run_loop(stop, environment(steady_clock()));
      },
      // The child's standard error, in order.
      testing::ExitedWithCode(0),
      "corvane: receiving the update to 0.4.6\n.*corvane: installing the update over " +
          program.string() + "\n");
  EXPECT_EQ(file_bytes(program), package);
  EXPECT_EQ(mode_of(program), 0755u);
  EXPECT_EQ(programs.args("systemctl"), restart_args);
}

TEST_F(UpdateInstallTest, AfterAFailedInstallTheRunLoopServesTheNextSession) {
  programs.add("systemctl", "exit 1");
  ::setenv("APPIMAGE", program.c_str(), 1);
  plug_updating_kvm();
  auto stop = make_stop_flag();
  std::thread loop([&] { run_loop(stop, environment(steady_clock())); });
  bool failed = log.wait_for("corvane: update not installed: systemctl exited with exit status: 1\n");
  bool served_again = test::eventually([&] { return log.count("startup phase=usb_ready") >= 2; });
  stop->store(true);
  loop.join();
  ASSERT_TRUE(failed);
  EXPECT_TRUE(served_again);
  EXPECT_EQ(file_bytes(program), package);
}

}  // namespace
}  // namespace corvane
