// The production USB host facility, as far as it runs without a USB bus:
// opening device nodes. Transfers on a real bus are exercised in the lab.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "session/usbfs_host.hpp"
#include "support/temp_dir.hpp"

namespace corvane {
namespace {

using test::TempDir;
using test::write_file;

size_t open_descriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

TEST(UsbfsHost, NamesTheNodeByBusAndAddressAndReportsAMissingOneAsAnOrdinaryFailure) {
  TempDir root;
  write_file(root / "dev/bus/usb/001/020", "");
  UsbfsHost host(root.path());
  auto missing = host.open(1, 2);
  ASSERT_FALSE(missing);
  EXPECT_FALSE(missing.error().access_denied);
  EXPECT_EQ(missing.error().message, "failed to open device: No such file or directory");
}

TEST(UsbfsHost, ClosesTheNodeWhenItIsNotAUsbDevice) {
  TempDir root;
  write_file(root / "dev/bus/usb/003/007", "not a device");
  UsbfsHost host(root.path());
  size_t before = open_descriptors();
  auto opened = host.open(3, 7);
  ASSERT_FALSE(opened);
  EXPECT_FALSE(opened.error().access_denied);
  EXPECT_TRUE(opened.error().message.starts_with("failed to open device: "))
      << opened.error().message;
  EXPECT_EQ(open_descriptors(), before);
}

TEST(UsbfsHost, TellsAPermissionRefusalApart) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  TempDir root;
  auto node = root / "dev/bus/usb/001/002";
  write_file(node, "");
  ::chmod(node.c_str(), 0600);
  for (auto folder = node.parent_path(); folder != root.path().parent_path();
       folder = folder.parent_path()) {
    ::chmod(folder.c_str(), 0755);
  }
  // The desktop user the node's mode keeps out.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    auto opened = UsbfsHost(root.path()).open(1, 2);
    bool denied = !opened && opened.error().access_denied &&
                  opened.error().message == "failed to open device: Permission denied";
    ::_exit(denied ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace corvane
