#include "engine/capture_source.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

#include "engine/fake_scanwell.hpp"
#include "engine/isolated_process.hpp"

namespace corvane {
namespace {

using test::run_isolated;

// card0 lights HDMI-A-1 (connector 42) on CRTC 7; DP-1 (43) is asleep;
// DP-2 (44) claims to be lit but has no CRTC.
void standard_card(FakeScanwell& fake) {
  FakeDevice& card = add_fake_device(fake, "/dev/dri/card0");
  add_fake_display(card, fake_display(42, 7, "HDMI-A-1"));
  add_fake_display(card, fake_display(43, 8, "DP-1", 1920, 1080, 0));
  add_fake_display(card, fake_display(44, 0, "DP-2"));
  std::strcpy(fake.error_text, "no such thing");
}

struct OpenOutcome {
  int result;
  bool context_held;
  uint32_t crtc_id;
  FrameDesc frame;
  bool frame_fd_valid;
  FakeScanwell fake;  // as it was when open_capture returned
};

struct OpenCall {
  const char* device = "/dev/dri/card0";
  uint32_t connector_id = 0;
  const char* helper_env = nullptr;  // CORVANE_SCANWELL_HELPER; nullptr: unset
  std::function<void(FakeScanwell&)> script = standard_card;
};

auto open_in_child(const OpenCall& call) {
  return run_isolated([&call] {
    ::setenv("CORVANE_SCANWELL_LIB", FAKE_SCANWELL, 1);
    if (call.helper_env) ::setenv("CORVANE_SCANWELL_HELPER", call.helper_env, 1);
    FakeScanwell& fake = fake_scanwell_at(FAKE_SCANWELL);
    call.script(fake);
    CaptureSource source;
    OpenOutcome outcome{};
    outcome.result = open_capture(source, call.device, call.connector_id, outcome.frame);
    outcome.context_held = source.context() != nullptr;
    outcome.crtc_id = source.crtc_id();
    outcome.frame_fd_valid = ::fcntl(outcome.frame.fd, F_GETFD) != -1;
    outcome.fake = fake;
    if (outcome.result == 0) {
      source.library()->scanwell_frame_release(source.context(), outcome.frame.release_handle);
    }
    return outcome;
  });
}

TEST(OpenCapture, LetsTheLibraryChooseWithoutAConnector) {
  auto run = open_in_child({.helper_env = "/opt/scanwell-helper"});
  ASSERT_TRUE(run.exited);
  const OpenOutcome& outcome = run.value;
  EXPECT_EQ(outcome.result, 0);
  EXPECT_TRUE(outcome.context_held);
  EXPECT_EQ(outcome.crtc_id, 0u);
  ASSERT_EQ(outcome.fake.open_calls, 1);
  EXPECT_STREQ(outcome.fake.opens[0].device, "/dev/dri/card0");
  EXPECT_EQ(outcome.fake.opens[0].crtc_id, 0u);
  EXPECT_STREQ(outcome.fake.opens[0].helper_path, "/opt/scanwell-helper");
  EXPECT_EQ(outcome.fake.list_calls, 0);
  EXPECT_EQ(outcome.fake.changed_calls, 1);
  EXPECT_TRUE(outcome.frame_fd_valid);
  EXPECT_EQ(outcome.frame.width, 64u);
  EXPECT_EQ(run.log, "");
}

TEST(OpenCapture, ReopensOnTheConnectorsCrtc) {
  auto run = open_in_child({.connector_id = 42});
  ASSERT_TRUE(run.exited);
  const OpenOutcome& outcome = run.value;
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.crtc_id, 7u);
  ASSERT_EQ(outcome.fake.open_calls, 2);
  EXPECT_EQ(outcome.fake.opens[0].crtc_id, 0u);
  EXPECT_EQ(outcome.fake.opens[1].crtc_id, 7u);
  EXPECT_STREQ(outcome.fake.opens[1].device, "/dev/dri/card0");
  EXPECT_EQ(outcome.fake.close_calls, 1);
  EXPECT_EQ(outcome.fake.changed_calls, 1);
  EXPECT_EQ(outcome.fake.grab_calls, 1);
}

TEST(OpenCapture, PassesAnEmptyDeviceAndHelperAsNone) {
  auto run = open_in_child({.device = "", .helper_env = ""});
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.value.result, 0);
  EXPECT_FALSE(run.value.fake.opens[0].device_given);
  EXPECT_FALSE(run.value.fake.opens[0].helper_given);
}

TEST(OpenCapture, ReportsEachFailureWithItsResult) {
  auto grab_answers = [](int result) {
    return [result](FakeScanwell& fake) {
      standard_card(fake);
      fake.grab_result = result;
    };
  };
  auto failing_open = [](int call, bool error_text) {
    return [=](FakeScanwell& fake) {
      standard_card(fake);
      fake.failing_open = call;
      if (!error_text) fake.error_text[0] = '\0';
    };
  };
  struct Case {
    const char* what;
    OpenCall call;
    int result;
    int opens;
    bool context_held;
    const char* log;
  };
  const Case cases[] = {
      {"asleep", {.connector_id = 43}, 4, 1, true, ""},
      {"not listed", {.connector_id = 99}, 4, 1, true, ""},
      {"no CRTC", {.connector_id = 44}, 4, 1, true, ""},
      {"refused",
       {.script = grab_answers(-EACCES)},
       3,
       1,
       true,
       "[KMS] scanwell grab failed: no such thing\n"},
      {"not scanned out",
       {.connector_id = 42, .script = grab_answers(-ENODEV)},
       4,
       2,
       true,
       "[KMS] scanwell grab failed: no such thing\n"},
      {"grab broken",
       {.script = grab_answers(-EIO)},
       7,
       1,
       true,
       "[KMS] scanwell grab failed: no such thing\n"},
      {"device refused",
       {.script = failing_open(1, true)},
       2,
       1,
       false,
       "[KMS] scanwell open failed: no such thing\n"},
      {"silent library",
       {.script = failing_open(1, false)},
       2,
       1,
       false,
       "[KMS] scanwell open failed: unknown\n"},
      {"CRTC refused",
       {.connector_id = 42, .script = failing_open(2, true)},
       2,
       2,
       false,
       "[KMS] selected CRTC open failed: no such thing\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto run = open_in_child(c.call);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.value.result, c.result);
    EXPECT_EQ(run.value.fake.open_calls, c.opens);
    EXPECT_EQ(run.value.context_held, c.context_held);
    EXPECT_EQ(run.log, c.log);
  }
}

TEST(OpenCapture, TakesTheFirstLitEntryAmongTheFirst64) {
  auto duplicated = [](FakeScanwell& fake) {
    FakeDevice& card = add_fake_device(fake, "/dev/dri/card0");
    add_fake_display(card, fake_display(42, 5, "HDMI-A-1", 1920, 1080, 0));
    add_fake_display(card, fake_display(42, 9, "HDMI-A-1"));
    add_fake_display(card, fake_display(42, 11, "HDMI-A-1"));
  };
  auto beyond_64 = [](FakeScanwell& fake) {
    FakeDevice& card = add_fake_device(fake, "/dev/dri/card0");
    for (uint32_t i = 0; i < 64; ++i) add_fake_display(card, fake_display(100 + i, 1, "DP-1"));
    add_fake_display(card, fake_display(42, 9, "HDMI-A-1"));
  };
  auto first = open_in_child({.connector_id = 42, .script = duplicated});
  EXPECT_EQ(first.value.result, 0);
  EXPECT_EQ(first.value.crtc_id, 9u);
  auto late = open_in_child({.connector_id = 42, .script = beyond_64});
  EXPECT_EQ(late.value.result, 4);
}

TEST(OpenCapture, AnswersOneWithoutTheLibrary) {
  auto run = run_isolated([] {
    ::setenv("CORVANE_SCANWELL_LIB", "/nonexistent/libscanwell.so.0", 1);
    CaptureSource source;
    FrameDesc frame{};
    int first = open_capture(source, "/dev/dri/card0", 42, frame);
    int second = open_capture(source, "/dev/dri/card0", 0, frame);
    return first * 10 + second;
  });
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.value, 11);
  EXPECT_TRUE(run.log.starts_with("[KMS] libscanwell.so.0 not loadable: ")) << run.log;
}

struct ListOutcome {
  int count;
  DisplayInfo entries[4];
  FakeScanwell fake;
};

auto list_in_child(const char* device, std::function<void(FakeScanwell&)> script,
                   const char* library = FAKE_SCANWELL) {
  return run_isolated([=] {
    ::setenv("CORVANE_SCANWELL_LIB", library, 1);
    ::setenv("CORVANE_SCANWELL_HELPER", "/opt/scanwell-helper", 1);
    ListOutcome outcome{};
    FakeScanwell* fake = nullptr;
    if (std::string_view(library) == FAKE_SCANWELL) {
      fake = &fake_scanwell_at(FAKE_SCANWELL);
      script(*fake);
    }
    outcome.count = capture_list_displays(device, outcome.entries, 4);
    if (fake) outcome.fake = *fake;
    return outcome;
  });
}

TEST(CaptureListDisplays, ReturnsTheLibrarysCountThroughAContextOfItsOwn) {
  auto run = list_in_child("/dev/dri/card0", standard_card);
  ASSERT_TRUE(run.exited);
  const ListOutcome& outcome = run.value;
  EXPECT_EQ(outcome.count, 3);
  EXPECT_EQ(outcome.entries[2].connector_id, 44u);
  ASSERT_EQ(outcome.fake.open_calls, 1);
  EXPECT_STREQ(outcome.fake.opens[0].device, "/dev/dri/card0");
  EXPECT_EQ(outcome.fake.opens[0].crtc_id, 0u);
  // Listing never starts the helper, whatever the environment says.
  EXPECT_FALSE(outcome.fake.opens[0].helper_given);
  EXPECT_EQ(outcome.fake.close_calls, 1);
  EXPECT_EQ(run.log, "");

  auto empty = list_in_child("/dev/dri/card1",
                             [](FakeScanwell& fake) { add_fake_device(fake, "/dev/dri/card1"); });
  EXPECT_EQ(empty.value.count, 0);

  // More than the capacity: the count is passed on, only 4 are written.
  auto crowded = list_in_child("/dev/dri/card0", [](FakeScanwell& fake) {
    FakeDevice& card = add_fake_device(fake, "/dev/dri/card0");
    for (uint32_t i = 0; i < 6; ++i) add_fake_display(card, fake_display(i + 1, 1, "DP-1"));
  });
  EXPECT_EQ(crowded.value.count, 6);
}

TEST(CaptureListDisplays, AnswersMinusOneWhenNothingCanBeOpened) {
  auto unknown = list_in_child("/dev/dri/card9", standard_card);
  EXPECT_EQ(unknown.value.count, -1);
  EXPECT_EQ(unknown.value.fake.close_calls, 0);
  EXPECT_EQ(unknown.log, "");

  // The device string is passed on as it is, empty or not.
  auto empty = list_in_child("", standard_card);
  EXPECT_EQ(empty.value.count, -1);
  EXPECT_TRUE(empty.value.fake.opens[0].device_given);

  auto missing = list_in_child("/dev/dri/card0", standard_card, "/nonexistent/lib.so");
  EXPECT_EQ(missing.value.count, -1);
}

}  // namespace
}  // namespace corvane
