#include "video/display_fixture.hpp"

#include <cstdlib>
#include <fstream>

namespace corvane::test {

void DisplayFixture::SetUp() {
  // The binding loads once per process; every case talks to the same fake
  // and starts it afresh.
  ::setenv("CORVANE_SCANWELL_LIB", FAKE_SCANWELL, 1);
  fake = &fake_scanwell_at(FAKE_SCANWELL);
  *fake = FakeScanwell{};
  std::filesystem::create_directories(drm());
}

FakeDevice& DisplayFixture::card(const std::string& name) {
  std::filesystem::create_directories(drm() / name);
  return add_fake_device(*fake, "/dev/dri/" + name);
}

FakeDevice& DisplayFixture::card0() {
  for (int i = 0; i < fake->device_count; ++i) {
    if (std::string_view(fake->devices[i].path) == "/dev/dri/card0") return fake->devices[i];
  }
  return card("card0");
}

void DisplayFixture::lit(const std::string& connector, uint32_t connector_id, int32_t x,
                         int32_t y) {
  add_fake_display(card0(),
                   fake_display(connector_id, connector_id + 100, connector, 1920, 1080, 1, x, y));
}

void DisplayFixture::asleep(const std::string& connector, uint32_t connector_id) {
  add_fake_display(card0(), fake_display(connector_id, 0, connector, 1920, 1080, 0));
}

void DisplayFixture::edid(const std::string& display, const std::string& bytes) {
  std::filesystem::create_directories(drm() / display);
  std::ofstream(drm() / display / "edid", std::ios::binary) << bytes;
}

void DisplayFixture::kvm_edid(const std::string& display) {
  edid(display, edid_with_manufacturer(0x6A, 0xCE));
}

std::string edid_with_manufacturer(unsigned char first, unsigned char second, size_t size) {
  std::string bytes(size, '\0');
  bytes[8] = static_cast<char>(first);
  bytes[9] = static_cast<char>(second);
  return bytes;
}

}  // namespace corvane::test
