// libscanwell with the real scanwell-helper, in a fake /dev/dri where no
// DRM device answers: the pair agrees on the protocol, the confined helper
// answers with its zero replies, and a helper that may not hold
// CAP_SYS_ADMIN reaches the library as EACCES.
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "fake_dri.hpp"
#include "helper_process.hpp"
#include "scanwell.h"

namespace scanwell_test {
namespace {

// Runs one grab and one cursor query in a child inside the fake /dev/dri
// and returns what the child saw, as text.
std::string grab_in_fake_dri(bool without_sys_admin) {
  int report[2];
  if (::pipe(report) != 0) return "pipe failed";
  pid_t child = ::fork();
  if (child == 0) {
    ::close(report[0]);
    if (!enter_fake_dri()) ::_exit(2);
    if (without_sys_admin && ::prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN, 0, 0, 0) != 0) ::_exit(2);
    std::string helper = helper_path();
    CaptureOpenConfig config{};
    config.device = "/dev/dri/card0";
    config.helper_path = helper.c_str();
    ScanwellContext* context = scanwell_open(&config);
    if (context == nullptr) ::_exit(3);
    FrameDesc frame{};
    int grab = scanwell_grab_desc(context, &frame, frame.release_handle);
    std::string error = scanwell_error(context) ? scanwell_error(context) : "";
    CursorInfo cursor{};
    int cursor_result = scanwell_get_cursor(context, &cursor);
    std::string text = "grab=" + std::to_string(grab) + " cursor=" + std::to_string(cursor_result) +
                       " visible=" + std::to_string(cursor.visible) + " error=" + error;
    scanwell_cursor_release(context, &cursor);
    scanwell_close(context);
    if (::write(report[1], text.data(), text.size()) < 0) ::_exit(4);
    ::_exit(0);
  }
  ::close(report[1]);
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(got));
  ::close(report[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += " (child status " + std::to_string(status) + ")";
  return text;
}

class LibraryWithHelper : public testing::Test {
 protected:
  void SetUp() override {
    if (!fake_dri_available()) GTEST_SKIP() << "needs a private mount namespace for a fake /dev/dri";
  }
};

TEST_F(LibraryWithHelper, NoFramebufferIsEnodevAndTheCursorInvisible) {
  EXPECT_EQ(grab_in_fake_dri(false),
            "grab=" + std::to_string(-ENODEV) +
                " cursor=0 visible=0 error=nothing is scanned out; the capture helper's reason is on standard error");
}

TEST_F(LibraryWithHelper, AHelperWithoutItsCapabilityIsEacces) {
  EXPECT_EQ(grab_in_fake_dri(true), "grab=" + std::to_string(-EACCES) + " cursor=" + std::to_string(-EACCES) +
                                        " visible=0 error=capture helper " + helper_path() +
                                        " refused to run (exit status 1); its reason is on standard error");
}

}  // namespace
}  // namespace scanwell_test
