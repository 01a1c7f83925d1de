#include <gtest/gtest.h>
#include <signal.h>

#include "support/sandbox.hpp"

namespace corvane {
namespace {

test::ProgramOptions service_environment(std::vector<std::string> extra = {}) {
  extra.push_back("PATH=/nonexistent");
  return {.env = extra};
}

TEST(RunMode, EachShutdownSignalEndsTheServiceWithStatusZero) {
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    test::RunningProgram service({test::corvane_binary().string(), "--run"},
                                 service_environment());
    ASSERT_TRUE(service.wait_for_stderr("cannot update itself from the KVM\n"));
    service.send_signal(signal_number);
    auto result = service.finish();
    EXPECT_EQ(result.exit_code, 0) << signal_number;
    // What follows them is the run loop's report of the missing KVM.
    EXPECT_TRUE(result.err.starts_with(
        "corvane 0.4.5 running\n"
        "corvane: this installation cannot update itself from the KVM\n"))
        << result.err;
  }
}

TEST(RunMode, AnAppImageCanUpdateItselfSoNothingIsSaid) {
  test::RunningProgram service({test::corvane_binary().string(), "--run"},
                               service_environment({"APPIMAGE=/opt/apps/corvane.AppImage"}));
  ASSERT_TRUE(service.wait_for_stderr("running\n"));
  service.send_signal(SIGTERM);
  auto result = service.finish();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.err.starts_with("corvane 0.4.5 running\n")) << result.err;
  EXPECT_EQ(result.err.find("cannot update itself"), std::string::npos);
}

TEST(CaptureTestMode, IsNotBuiltYetAndSaysSo) {
  auto result = test::run_program({test::corvane_binary().string(), "--capture-test", "-x"},
                                  service_environment());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "corvane: the capture test is not part of this build yet\n");
}

}  // namespace
}  // namespace corvane
