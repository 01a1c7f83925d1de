#include "edid.hpp"

#include <algorithm>
#include <numeric>

namespace corvane::lab {
namespace {

constexpr std::array<uint8_t, 8> header{0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
// sRGB primaries and white point.
constexpr std::array<uint8_t, 10> chromaticity{0xee, 0x91, 0xa3, 0x54, 0x4c,
                                               0x99, 0x26, 0x0f, 0x50, 0x54};
// 1920x1080 at 60 Hz, 148.5 MHz, 531 x 299 mm, separate syncs, both positive.
constexpr std::array<uint8_t, 18> timing_1080p{0x02, 0x3a, 0x80, 0x18, 0x71, 0x38,
                                               0x2d, 0x40, 0x58, 0x2c, 0x45, 0x00,
                                               0x13, 0x2b, 0x21, 0x00, 0x00, 0x1e};

void put_display_name(uint8_t* descriptor, std::string_view name) {
  std::fill(descriptor, descriptor + 18, 0);
  descriptor[3] = 0xfc;
  std::fill(descriptor + 5, descriptor + 18, ' ');
  std::copy(name.begin(), name.end(), descriptor + 5);
  descriptor[5 + name.size()] = '\n';
}

void put_dummy(uint8_t* descriptor) {
  std::fill(descriptor, descriptor + 18, 0);
  descriptor[3] = 0x10;
}

}  // namespace

Result<std::array<uint8_t, 128>> make_edid(std::string_view manufacturer) {
  auto is_capital = [](char letter) { return letter >= 'A' && letter <= 'Z'; };
  if (manufacturer.size() != 3 || !std::ranges::all_of(manufacturer, is_capital)) {
    return fail("not a manufacturer code (three capital letters): " + std::string(manufacturer));
  }
  std::array<uint8_t, 128> edid{};
  std::ranges::copy(header, edid.begin());
  // Five bits per letter, 'A' = 1, big-endian.
  uint16_t code = 0;
  for (char letter : manufacturer) code = static_cast<uint16_t>((code << 5) | (letter - 'A' + 1));
  edid[8] = static_cast<uint8_t>(code >> 8);
  edid[9] = static_cast<uint8_t>(code & 0xff);
  edid[10] = 0x01;  // product code
  edid[16] = 1;     // week
  edid[17] = 34;    // year 2024
  edid[18] = 1;     // version 1.4
  edid[19] = 4;
  edid[20] = 0x80;  // digital input
  edid[21] = 53;    // width in cm
  edid[22] = 30;    // height in cm
  edid[23] = 120;   // gamma 2.2
  edid[24] = 0x06;  // sRGB, preferred timing is native
  std::ranges::copy(chromaticity, edid.begin() + 25);
  std::fill(edid.begin() + 38, edid.begin() + 54, 0x01);  // no standard timings
  std::ranges::copy(timing_1080p, edid.begin() + 54);
  put_display_name(edid.data() + 72, "Tarvek KVM");
  put_dummy(edid.data() + 90);
  put_dummy(edid.data() + 108);
  edid[126] = 0;  // no extensions
  uint8_t sum = std::accumulate(edid.begin(), edid.end() - 1, uint8_t{0},
                                [](uint8_t total, uint8_t byte) { return uint8_t(total + byte); });
  edid[127] = static_cast<uint8_t>(0x100 - sum);
  return edid;
}

}  // namespace corvane::lab
