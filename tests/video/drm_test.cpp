#include "video/display/drm.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "video/display_fixture.hpp"

namespace corvane {
namespace {

using test::DisplayFixture;

class DisplayDiscovery : public DisplayFixture {
 protected:
  std::vector<std::string> listed_names() {
    auto displays = list_displays(root());
    EXPECT_TRUE(displays.has_value());
    std::vector<std::string> names;
    for (const Display& display : displays.value_or(std::vector<Display>{})) {
      names.push_back(display.name());
    }
    return names;
  }
};

TEST_F(DisplayDiscovery, ListsTheConnectorsOfEveryCardSortedByName) {
  FakeDevice& card0 = card("card0");
  add_fake_display(card0, fake_display(1, 1, "HDMI-A-1"));
  add_fake_display(card0, fake_display(2, 2, "DP-2"));
  add_fake_display(card0, fake_display(3, 3, "DP-10"));
  add_fake_display(card("card10"), fake_display(4, 4, "DP-1"));
  add_fake_display(card("card1"), fake_display(5, 5, "eDP-1"));
  // Connector entries, render nodes and other files are not cards, even
  // when the library would answer for them.
  add_fake_display(card("card0-HDMI-A-1"), fake_display(6, 6, "bogus"));
  add_fake_display(card("renderD128"), fake_display(7, 7, "bogus"));
  add_fake_display(card("card"), fake_display(8, 8, "bogus"));
  add_fake_display(card("card2a"), fake_display(9, 9, "bogus"));
  std::ofstream(drm() / "version") << "drm 1.1.0";

  EXPECT_EQ(listed_names(), (std::vector<std::string>{"card0-DP-10", "card0-DP-2", "card0-HDMI-A-1",
                                                      "card1-eDP-1", "card10-DP-1"}));

  auto displays = list_displays(root()).value();
  const Display& hdmi = displays[2];
  EXPECT_EQ(hdmi.card, "card0");
  EXPECT_EQ(hdmi.connector, "HDMI-A-1");
  EXPECT_EQ(std::memcmp(&hdmi.info, &card0.displays[0], sizeof(DisplayInfo)), 0);
}

TEST_F(DisplayDiscovery, KeepsLibraryOrderAmongEqualNames) {
  // Enough entries that an unstable sort would reorder them.
  FakeDevice& card0 = card("card0");
  for (uint32_t i = 0; i < 60; ++i) {
    add_fake_display(card0, fake_display(60 - i, 1, i % 3 == 0 ? "DP-1" : "DP-2"));
  }
  auto displays = list_displays(root()).value();
  ASSERT_EQ(displays.size(), 60u);
  for (size_t i = 1; i < displays.size(); ++i) {
    if (displays[i].name() != displays[i - 1].name()) continue;
    EXPECT_GT(displays[i - 1].info.connector_id, displays[i].info.connector_id) << i;
  }
  EXPECT_EQ(displays[0].name(), "card0-DP-1");
  EXPECT_EQ(displays[59].name(), "card0-DP-2");
}

TEST_F(DisplayDiscovery, SkipsUnterminatedNamesAndReplacesInvalidUtf8) {
  FakeDevice& card0 = card("card0");
  DisplayInfo unterminated = fake_display(1, 1, "");
  std::memset(unterminated.name, 'A', sizeof unterminated.name);
  add_fake_display(card0, unterminated);
  DisplayInfo full = fake_display(2, 2, "");
  std::memset(full.name, 'B', sizeof full.name - 1);
  add_fake_display(card0, full);
  add_fake_display(card0, fake_display(3, 3, "HDMI\xFF-1"));

  EXPECT_EQ(listed_names(), (std::vector<std::string>{"card0-" + std::string(31, 'B'),
                                                      "card0-HDMI\xEF\xBF\xBD-1"}));
}

TEST_F(DisplayDiscovery, ReadsAtMost64EntriesOfACard) {
  FakeDevice& card0 = card("card0");
  for (uint32_t i = 0; i < 70; ++i) add_fake_display(card0, fake_display(i + 1, 1, "DP-1"));
  EXPECT_EQ(listed_names().size(), 64u);
}

TEST_F(DisplayDiscovery, CardsTheLibraryCannotOpenContributeNothing) {
  card("card0").count = -5;
  std::filesystem::create_directories(drm() / "card1");  // unknown to the library
  add_fake_display(card("card2"), fake_display(1, 1, "DP-1"));
  EXPECT_EQ(listed_names(), std::vector<std::string>{"card2-DP-1"});
}

TEST_F(DisplayDiscovery, AMissingDrmTreeIsAnErrorOnlyWhereItIsPassedOn) {
  std::filesystem::remove_all(drm());
  auto listed = list_displays(root());
  ASSERT_FALSE(listed.has_value());
  EXPECT_EQ(listed.error().message,
            "cannot read " + drm().string() + ": No such file or directory");
  EXPECT_FALSE(find_display("card0-DP-1", root()).has_value());
  EXPECT_TRUE(online_display_names(root()).empty());
  EXPECT_TRUE(kvm_display_names(root()).empty());
}

TEST_F(DisplayDiscovery, OnlyLitDisplaysWithAModeAreOnline) {
  FakeDevice& card0 = card("card0");
  add_fake_display(card0, fake_display(1, 1, "HDMI-A-1"));
  add_fake_display(card0, fake_display(2, 2, "DP-2", 1920, 1080, 0));
  add_fake_display(card0, fake_display(3, 3, "DP-3", 0, 1080, 1));
  add_fake_display(card0, fake_display(4, 4, "DP-4", 1920, 0, 1));

  EXPECT_EQ(online_display_names(root()), std::vector<std::string>{"card0-HDMI-A-1"});
  auto found = find_display("card0-HDMI-A-1", root());
  ASSERT_TRUE(found.has_value());
  ASSERT_TRUE(found->display.has_value());
  EXPECT_EQ(found->display->info.connector_id, 1u);
  for (const char* name : {"card0-DP-2", "card0-DP-3", "card0-DP-4", "card0-HDMI-A"}) {
    SCOPED_TRACE(name);
    auto none = find_display(name, root());
    ASSERT_TRUE(none.has_value());
    EXPECT_FALSE(none->display.has_value());
  }
}

TEST_F(DisplayDiscovery, DescribesEveryDisplayOnOneLine) {
  FakeDevice& card0 = card("card0");
  add_fake_display(card0, fake_display(1, 1, "HDMI-A-1"));
  add_fake_display(card0, fake_display(2, 2, "DP-2", 0, 0, 0));
  add_fake_display(card0, fake_display(3, 3, "DP-3", 1280, 1024, 1, -1280, 56));
  std::vector<Display> displays = list_displays(root()).value();
  EXPECT_EQ(describe_displays(displays),
            "card0-DP-2=0x0 origin=(0, 0) primary=true online=false, "
            "card0-DP-3=1280x1024 origin=(-1280, 56) primary=false online=true, "
            "card0-HDMI-A-1=1920x1080 origin=(0, 0) primary=true online=true");
  EXPECT_EQ(describe_displays({}), "");
}

TEST_F(DisplayDiscovery, RecognisesTheKvmByTheManufacturerBytesOfItsEdid) {
  FakeDevice& card0 = card("card0");
  for (const char* connector : {"DP-1", "DP-2", "DP-3", "DP-4", "DP-5", "DP-6"}) {
    add_fake_display(card0, fake_display(1, 1, connector));
  }
  edid("card0-DP-1", test::edid_with_manufacturer(0x6A, 0xCE));
  edid("card0-DP-2", test::edid_with_manufacturer(0x6A, 0xCE, 10));
  edid("card0-DP-3", test::edid_with_manufacturer(0x6A, 0xCE, 10).substr(0, 9));
  edid("card0-DP-4", test::edid_with_manufacturer(0x4C, 0x2D));  // another maker
  edid("card0-DP-5", "");
  // DP-6 has no EDID file at all.
  EXPECT_EQ(kvm_display_names(root()), (std::set<std::string>{"card0-DP-1", "card0-DP-2"}));
}

TEST_F(DisplayDiscovery, SleepingKvmDisplaysStillCount) {
  asleep("DP-1", 1);
  kvm_edid("card0-DP-1");
  EXPECT_EQ(kvm_display_names(root()), std::set<std::string>{"card0-DP-1"});
}

class NvidiaDevice : public DisplayFixture {
 protected:
  void driver(const std::string& card_name, const std::string& target) {
    std::filesystem::create_directories(drm() / card_name / "device");
    std::filesystem::create_symlink(target, drm() / card_name / "device/driver");
  }
};

TEST_F(NvidiaDevice, FollowsTheDriverLinkOfTheCard) {
  driver("card0", "../../../../bus/pci/drivers/nvidia");
  driver("card1", "../../../../bus/pci/drivers/nvidia-drm");
  driver("card2", "../../../../bus/pci/drivers/nouveau");
  driver("card3", "../../../../bus/pci/drivers/i915");
  driver("card4", "../../../../bus/pci/drivers/amdgpu");
  driver("card5", "../../../../bus/pci/drivers/NVIDIA");
  driver("card6", "../../../../bus/pci/drivers/nvidia-drm-x");
  std::filesystem::create_directories(drm() / "card7/device");  // no driver link
  struct Case {
    const char* device;
    bool nvidia;
  };
  for (const Case& c :
       {Case{"/dev/dri/card0", true}, Case{"/dev/dri/card1", true}, Case{"/dev/dri/card2", false},
        Case{"/dev/dri/card3", false}, Case{"/dev/dri/card4", false}, Case{"/dev/dri/card5", false},
        Case{"/dev/dri/card6", false}, Case{"/dev/dri/card7", false}, Case{"/dev/dri/card9", false},
        Case{"card0", true}, Case{"/dev/dri/", false}, Case{"", false}}) {
    SCOPED_TRACE(c.device);
    EXPECT_EQ(is_nvidia_device(c.device, root()), c.nvidia);
  }
}

TEST_F(NvidiaDevice, RefusesANameThatIsNotUtf8) {
  driver("card\xFF", "../../../../bus/pci/drivers/nvidia");
  EXPECT_FALSE(is_nvidia_device("/dev/dri/card\xFF", root()));
}

}  // namespace
}  // namespace corvane
