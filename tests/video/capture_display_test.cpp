#include "video/display/capture_display.hpp"

#include <gtest/gtest.h>

#include "video/display_fixture.hpp"

namespace corvane {
namespace {

class CaptureDisplay : public test::DisplayFixture {
 protected:
  // The name picked, "" for none, or the error message.
  std::string select(DisplaySelection& selection) {
    auto displays = list_displays(root());
    EXPECT_TRUE(displays.has_value());
    auto picked = select_capture_display(*displays, selection, root());
    if (!picked) return picked.error().message;
    return picked->display ? picked->display->name() : "";
  }
  std::string inactive(const DisplaySelection& selection) {
    auto found = inactive_display(selection, root());
    EXPECT_TRUE(found.has_value());
    return found.value_or(InactiveDisplay{}).name.value_or("");
  }
};

TEST(SetRequested, ClearsThePickOnlyWhenTheRequestChanges) {
  struct Case {
    std::optional<std::string> before;
    std::optional<std::string> after;
    bool changed;
  };
  for (const Case& c :
       {Case{std::nullopt, "card0-DP-1", true}, Case{"card0-DP-1", std::nullopt, true},
        Case{"card0-DP-1", "card0-DP-2", true}, Case{"card0-DP-1", "card0-DP-1", false},
        Case{std::nullopt, std::nullopt, false}}) {
    DisplaySelection selection{c.before, "card0-HDMI-A-1"};
    EXPECT_EQ(set_requested(selection, c.after), c.changed);
    EXPECT_EQ(selection.requested, c.after);
    EXPECT_EQ(selection.selected.has_value(), !c.changed);
  }
}

TEST_F(CaptureDisplay, TwoLitKvmDisplaysNeedARequest) {
  lit("DP-1", 1);
  lit("HDMI-A-1", 2, 1920, 0);
  asleep("DP-2", 3);
  kvm_edid("card0-DP-1");
  kvm_edid("card0-HDMI-A-1");
  DisplaySelection selection;

  const std::string ambiguous =
      "multiple KVM displays: card0-DP-1=1920x1080 origin=(0, 0) primary=true online=true, "
      "card0-DP-2=1920x1080 origin=(0, 0) primary=true online=false, "
      "card0-HDMI-A-1=1920x1080 origin=(1920, 0) primary=false online=true; "
      "pick the capture display in the KVM web UI";
  EXPECT_EQ(select(selection), ambiguous);
  EXPECT_FALSE(selection.selected.has_value());

  set_requested(selection, "card0-HDMI-A-1");
  EXPECT_EQ(select(selection), "card0-HDMI-A-1");
  EXPECT_EQ(selection.selected, "card0-HDMI-A-1");

  EXPECT_TRUE(set_requested(selection, std::nullopt));
  EXPECT_FALSE(selection.selected.has_value());
  EXPECT_EQ(select(selection), ambiguous);
}

TEST_F(CaptureDisplay, KeepsThePreviousPickWhenASecondKvmDisplayLightsUp) {
  lit("DP-1", 1);
  lit("HDMI-A-1", 2);
  kvm_edid("card0-HDMI-A-1");
  DisplaySelection selection;
  EXPECT_EQ(select(selection), "card0-HDMI-A-1");
  EXPECT_EQ(selection.selected, "card0-HDMI-A-1");

  kvm_edid("card0-DP-1");
  EXPECT_EQ(select(selection), "card0-HDMI-A-1");
}

TEST_F(CaptureDisplay, PicksNothingWithoutACandidate) {
  DisplaySelection selection;
  EXPECT_EQ(select(selection), "");  // no displays at all

  lit("DP-1", 1);
  EXPECT_EQ(select(selection), "");  // no KVM display

  asleep("HDMI-A-1", 2);
  kvm_edid("card0-HDMI-A-1");
  EXPECT_EQ(select(selection), "");  // the KVM display sleeps

  // A remembered pick that is no longer a candidate does not stick.
  selection.selected = "card0-DP-1";
  EXPECT_EQ(select(selection), "");
  EXPECT_EQ(selection.selected, "card0-DP-1");
}

TEST_F(CaptureDisplay, ARequestedDisplayMustBeLit) {
  lit("DP-1", 1);
  asleep("HDMI-A-1", 2);
  kvm_edid("card0-DP-1");
  DisplaySelection selection;
  set_requested(selection, "card0-HDMI-A-1");
  EXPECT_EQ(select(selection), "");
  EXPECT_FALSE(selection.selected.has_value());
  EXPECT_EQ(inactive(selection), "card0-HDMI-A-1");

  set_requested(selection, "card0-DP-9");  // does not exist
  EXPECT_EQ(select(selection), "");
  EXPECT_EQ(inactive(selection), "");

  set_requested(selection, "card0-DP-1");  // lit, though not the KVM's own
  EXPECT_EQ(select(selection), "card0-DP-1");
  EXPECT_EQ(inactive(selection), "");
}

TEST_F(CaptureDisplay, WaitsForTheKvmsOwnDisplayOnlyWhenItIsTheOnlyOne) {
  asleep("HDMI-A-1", 1);
  lit("DP-1", 2);
  EXPECT_EQ(inactive({}), "");  // no KVM display at all

  kvm_edid("card0-HDMI-A-1");
  EXPECT_EQ(inactive({}), "card0-HDMI-A-1");

  // A second KVM display, even a lit one, leaves nothing to wait for.
  kvm_edid("card0-DP-1");
  EXPECT_EQ(inactive({}), "");
}

TEST_F(CaptureDisplay, AskingAboutTheSelectedDisplayWhenNothingIsRequested) {
  asleep("HDMI-A-1", 1);
  lit("DP-1", 2);
  EXPECT_EQ(inactive({.selected = "card0-HDMI-A-1"}), "card0-HDMI-A-1");
  EXPECT_EQ(inactive({.selected = "card0-DP-1"}), "");
  EXPECT_EQ(inactive({.requested = "card0-DP-1", .selected = "card0-HDMI-A-1"}), "");
}

TEST_F(CaptureDisplay, InactiveDisplayPassesOnAListingError) {
  std::filesystem::remove_all(drm());
  EXPECT_FALSE(inactive_display({}, root()).has_value());
}

}  // namespace
}  // namespace corvane
