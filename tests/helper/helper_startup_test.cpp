// The helper's start-up as a real process: every refusal ends it with
// status 1 and its line before anything reaches the socket; an accepted
// start writes its lines and serves until the peer goes.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "fake_dri.hpp"
#include "helper_process.hpp"

namespace scanwell_test {
namespace {

constexpr uid_t nobody = 65534;

class HelperStartup : public testing::Test {
 protected:
  void SetUp() override {
    if (!fake_dri_available()) GTEST_SKIP() << "needs a private mount namespace for a fake /dev/dri";
  }
};

struct Refusal {
  const char* name;
  HelperLaunch launch;
  const char* error;
};

TEST_F(HelperStartup, RefusesEveryLaunchItCannotTrust) {
  const Refusal refusals[] = {
      {"no descriptor 3", {.descriptor = Descriptor3::none},
       "scanwell-helper: fd 3 not valid — must be spawned by libscanwell, not run directly\n"},
      {"a pipe on descriptor 3", {.descriptor = Descriptor3::pipe},
       "scanwell-helper: fd 3 is not a socket — must be spawned by libscanwell, not run directly\n"},
      {"a peer of another user", {.run_as = nobody},
       "scanwell-helper: refusing to serve peer uid 0 (expected 65534)\n"},
      {"a device outside /dev/dri", {.arguments = {"/dev/dri/../../etc/passwd"}},
       "scanwell-helper: refusing device path '/dev/dri/../../etc/passwd' (must resolve under /dev/dri/)\n"},
      {"a device that does not exist", {.arguments = {"/dev/dri/card7"}},
       "scanwell-helper: refusing device path '/dev/dri/card7' (must resolve under /dev/dri/)\n"},
      {"no CAP_SYS_ADMIN to keep", {.drop_sys_admin = true},
       "scanwell-helper: persistent fd=4 device=/dev/dri/card0 virtio=0\n"
       "scanwell-helper: cap_set_proc failed: Operation not permitted\n"
       "scanwell-helper: refusing to run: could not drop capabilities\n"},
  };
  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    HelperProcess helper(refusal.launch);
    int status = helper.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
    EXPECT_EQ(helper.standard_error(), refusal.error);
    if (helper.socket() >= 0) {
      EXPECT_EQ(helper.read_to_end(), "") << "nothing is sent before serving";
    }
  }
}

TEST_F(HelperStartup, ConfinesItselfAndServesTheResolvedDevice) {
  struct Accepted {
    std::vector<std::string> arguments;
    const char* device;
  };
  const Accepted cases[] = {
      {{}, "/dev/dri/card0"},
      {{"/dev/dri/by-path/pci-0000:00:02.0-render"}, "/dev/dri/renderD128"},
  };
  for (const auto& accepted : cases) {
    SCOPED_TRACE(accepted.device);
    HelperProcess helper({.arguments = accepted.arguments});
    helper.close_socket();
    int status = helper.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_EQ(helper.standard_error(), std::string("scanwell-helper: persistent fd=4 device=") + accepted.device +
                                           " virtio=0\n"
                                           "scanwell-helper: dropped caps, keeping CAP_SYS_ADMIN\n"
                                           "scanwell-helper: seccomp filter installed\n");
  }
}

}  // namespace
}  // namespace scanwell_test
