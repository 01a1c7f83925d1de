#include "supervisor/linux_access.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/sandbox.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::write_file;
using Calls = std::vector<std::string>;

// A sysfs USB tree as the kernel lays it out: devices/<bus path>/<name>
// with its interfaces inside, and bus/usb/devices holding links to both.
void plug(const fs::path& root, const std::string& device,
          const std::vector<std::string>& interface_classes) {
  const fs::path devices = root / "sys/bus/usb/devices";
  const fs::path real = root / "sys/devices/pci0000:00/usb1" / device;
  fs::create_directories(devices);
  fs::create_directories(real);
  fs::create_symlink("../../../devices/pci0000:00/usb1/" + device, devices / device);
  int number = 0;
  for (const auto& classes : interface_classes) {
    const std::string name = device + ":1." + std::to_string(number++);
    write_file(real / name / "bInterfaceClass", classes.substr(0, 2) + "\n");
    write_file(real / name / "bInterfaceSubClass", classes.substr(2, 2) + "\n");
    write_file(real / name / "bInterfaceProtocol", classes.substr(4, 2) + "\n");
    fs::create_symlink("../../../devices/pci0000:00/usb1/" + device + "/" + name,
                       devices / name);
  }
}

TEST(UsbRule, TheFirstReadableCopyDecides) {
  test::TempDir root;
  EXPECT_FALSE(usb_rule_installed(root.path()));
  write_file(root / "usr/lib/udev/rules.d/70-corvane.rules", usb_rule_text);
  EXPECT_TRUE(usb_rule_installed(root.path()));
  write_file(root / "etc/udev/rules.d/70-corvane.rules", std::string(usb_rule_text) + "\n");
  EXPECT_FALSE(usb_rule_installed(root.path()));
  fs::remove(root / "etc/udev/rules.d/70-corvane.rules");
  write_file(root / "run/udev/rules.d/70-corvane.rules", "\xff\xfe");  // not text: skipped
  EXPECT_TRUE(usb_rule_installed(root.path()));
}

TEST(UsbRule, FindsPluggedInKvmsByTheirInterface) {
  test::TempDir root;
  EXPECT_TRUE(plugged_in_kvm_devices(root.path()).empty());
  plug(root.path(), "3-1", {"ff4a01", "ff4a01"});
  plug(root.path(), "1-2", {"030101", "000000"});
  plug(root.path(), "1-10", {"030101", "ff4a01"});
  plug(root.path(), "2-4", {"ff4a02"});
  EXPECT_EQ(plugged_in_kvm_devices(root.path()), (Calls{"1-10", "3-1"}));
  write_file(root / "sys/devices/pci0000:00/usb1/1-2/1-2:1.1/bInterfaceClass", "  FF \n");
  write_file(root / "sys/devices/pci0000:00/usb1/1-2/1-2:1.1/bInterfaceSubClass", "4A");
  write_file(root / "sys/devices/pci0000:00/usb1/1-2/1-2:1.1/bInterfaceProtocol", "1");
  EXPECT_EQ(plugged_in_kvm_devices(root.path()), (Calls{"1-10", "1-2", "3-1"}));
}

class LinuxAccessModes : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"udevadm", "groupadd", "chown", "usermod"}) sandbox.stand_in(tool);
    sandbox.stand_in("setcap");
  }
  // A portable copy of the program with its helper beside it, as an
  // unpacked AppImage or a tarball would have them.
  fs::path portable_copy() {
    const fs::path app = sandbox.dir() / "app";
    fs::create_directories(app / "bin");
    fs::copy_file(test::corvane_binary(), app / "bin/corvane");
    write_file(app / "lib/corvane/scanwell-helper", "helper bytes");
    ::chmod((app / "lib/corvane/scanwell-helper").c_str(), 0755);
    return app / "bin/corvane";
  }
  test::ProgramResult run_as_root(const std::vector<std::string>& args) {
    return sandbox.run(args, {.as_root = true, .setup = {with_udev}, .program = program});
  }

  test::Sandbox sandbox;
  fs::path program = portable_copy();
  const std::string with_udev = "mkdir -p /etc/udev/rules.d";
  const fs::path installed = sandbox.usr_changes() / "local/libexec/scanwell-helper";
};

TEST_F(LinuxAccessModes, NeedAdministratorRights) {
  for (const char* mode : {"--install-linux-access", "--install-linux-usb-access",
                           "--install-linux-capture-access"}) {
    auto result = sandbox.run({mode}, {.program = program});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "corvane: administrator privileges are required\n");
  }
  EXPECT_TRUE(sandbox.calls().empty());
  EXPECT_TRUE(fs::is_empty(sandbox.etc_changes()));
  EXPECT_TRUE(fs::is_empty(sandbox.usr_changes()));
}

TEST_F(LinuxAccessModes, UsbAccessWritesTheRuleAndTriggersPluggedInKvms) {
  plug(sandbox.dir().path(), "3-1", {"ff4a01", "ff4a01"});
  plug(sandbox.dir().path(), "1-2", {"ff4a01"});
  auto result = run_as_root({"--install-linux-usb-access"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const fs::path rule = sandbox.etc_changes() / "udev/rules.d/70-corvane.rules";
  EXPECT_EQ(read_file(rule), usb_rule_text);
  EXPECT_EQ(fs::status(rule).permissions(), fs::perms(0644));
  EXPECT_EQ(fs::directory_iterator(rule.parent_path())->path(), rule);  // no leftovers
  EXPECT_EQ(sandbox.calls(),
            (Calls{"udevadm control --reload-rules",
                   "udevadm trigger --action=change --subsystem-match=usb --sysname-match=1-2",
                   "udevadm trigger --action=change --subsystem-match=usb --sysname-match=3-1"}));
}

TEST_F(LinuxAccessModes, APortableHelperIsCopiedPreparedAndRenamed) {
  auto result = run_as_root({"--install-linux-capture-access"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "add each user that may capture: usermod -aG corvane-capture <user>\n");
  EXPECT_EQ(read_file(installed), "helper bytes");
  EXPECT_EQ(fs::status(installed).permissions(), fs::perms(0750));
  EXPECT_FALSE(fs::exists(installed.string() + ".new"));
  EXPECT_EQ(sandbox.calls(),
            (Calls{"groupadd -f corvane-capture",
                   "chown root:corvane-capture /usr/local/libexec/scanwell-helper.new",
                   "setcap cap_sys_admin+ep /usr/local/libexec/scanwell-helper.new"}));
}

TEST_F(LinuxAccessModes, AFailedPreparationRemovesTheCopy) {
  fs::remove(sandbox.bin() / "setcap");
  auto result = run_as_root({"--install-linux-capture-access"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "corvane: could not run setcap: No such file or directory\n");
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(fs::exists(installed.string() + ".new"));
  EXPECT_FALSE(fs::exists(installed));
}

TEST_F(LinuxAccessModes, APackagedHelperIsPreparedInPlace) {
  program = "/usr/bin/corvane-under-test";
  auto result = sandbox.run(
      {"--install-linux-capture-access"},
      {.as_root = true,
       .setup = {"cp " + test::corvane_binary().string() + " " + program.string(),
                 "mkdir -p /usr/lib/corvane", "printf x > /usr/lib/corvane/scanwell-helper"},
       .program = program});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const fs::path helper = sandbox.usr_changes() / "lib/corvane/scanwell-helper";
  EXPECT_EQ(fs::status(helper).permissions(), fs::perms(0750));
  EXPECT_FALSE(fs::exists(sandbox.usr_changes() / "local/libexec"));
  EXPECT_EQ(sandbox.calls().back(),
            "setcap cap_sys_admin+ep /usr/bin/../lib/corvane/scanwell-helper");
}

TEST_F(LinuxAccessModes, WithoutAHelperTheCaptureStepFails) {
  fs::remove(sandbox.dir() / "app/lib/corvane/scanwell-helper");
  auto result = run_as_root({"--install-linux-capture-access"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "corvane: this build does not carry scanwell-helper\n");
}

TEST_F(LinuxAccessModes, EverythingAddsTheInvokingUserToTheGroup) {
  const std::string passwd_entry =
      "echo 'kvmuser:x:4242:4242::/home/kvmuser:/bin/sh' >> /etc/passwd";
  struct Case {
    std::vector<std::string> env;
    std::string added;  // empty: nobody
  };
  const Case cases[] = {
      {{"SUDO_UID=4242"}, "kvmuser"},
      {{"PKEXEC_UID=+4242", "SUDO_UID=0"}, "kvmuser"},
      {{"PKEXEC_UID=x", "SUDO_UID=4242"}, "kvmuser"},
      {{"SUDO_UID=0"}, ""},
      {{}, ""},
      {{"SUDO_UID=4343"}, ""},  // no such user
  };
  for (const auto& c : cases) {
    test::write_file(sandbox.dir() / "calls", "");
    auto result = sandbox.run({"--install-linux-access"}, {.as_root = true,
                                                           .env = c.env,
                                                           .setup = {with_udev, passwd_entry},
                                                           .program = program});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    auto calls = sandbox.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "udevadm control --reload-rules");
    if (c.added.empty()) {
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(calls.back().rfind("setcap", 0), 0u);
    } else {
      EXPECT_EQ(calls.back(), "usermod -aG corvane-capture " + c.added);
      EXPECT_EQ(result.out, "added " + c.added + " to corvane-capture; capture starts after " +
                                c.added + " logs in again\n");
    }
  }
}

}  // namespace
}  // namespace corvane
