#pragma once
// A fixture /sys/class/drm tree under a temporary root, with the fake
// capture library answering for the cards in it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/fake_scanwell.hpp"
#include "support/temp_dir.hpp"

namespace corvane::test {

class DisplayFixture : public ::testing::Test {
 protected:
  void SetUp() override;

  const std::filesystem::path& root() const { return root_.path(); }
  std::filesystem::path drm() const { return root() / "sys/class/drm"; }

  // A card directory in sysfs whose device the fake library knows.
  FakeDevice& card(const std::string& name);
  // A lit display on card0 (created on first use) at the given origin.
  void lit(const std::string& connector, uint32_t connector_id, int32_t x = 0, int32_t y = 0);
  // A display on card0 whose monitor sleeps (mode kept, not active).
  void asleep(const std::string& connector, uint32_t connector_id);
  // Writes the EDID of a display (card0-HDMI-A-1).
  void edid(const std::string& display, const std::string& bytes);
  // An EDID carrying the KVM's manufacturer code "ZVN".
  void kvm_edid(const std::string& display);

  FakeScanwell* fake = nullptr;

 private:
  FakeDevice& card0();
  TempDir root_;
};

// A 128-byte EDID whose manufacturer bytes (8 and 9) are given.
std::string edid_with_manufacturer(unsigned char first, unsigned char second, size_t size = 128);

}  // namespace corvane::test
