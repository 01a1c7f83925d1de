#pragma once
// A stand-in for the capture library libscanwell.so.0, built by the tests.
// Tests load it through CORVANE_SCANWELL_LIB and steer it through the
// script it exports as fake_scanwell(): the version it reports, the
// devices it knows with their connectors, which open fails and what the
// grab answers. It records how it was called.
#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/engine.h"

struct FakeDevice {
  char path[64] = {};  // the device this entry answers for
  DisplayInfo displays[72] = {};
  // What scanwell_list_displays returns; it writes at most capacity (and
  // at most 72) entries whatever this says.
  int count = 0;
};

struct FakeOpen {
  bool device_given = false;
  char device[64] = {};
  uint32_t crtc_id = 0;
  bool helper_given = false;
  char helper_path[128] = {};
};

struct FakeScanwell {
  // Script.
  int version = 0x000503;  // 0.5.3
  FakeDevice devices[8] = {};
  int device_count = 0;  // an open of a device not listed here fails
  int failing_open = 0;  // the 1-based scanwell_open call that fails; 0: none
  int grab_result = 0;
  char error_text[64] = {};  // scanwell_error's answer; empty: null

  // Record.
  int version_calls = 0;
  FakeOpen opens[8] = {};
  int open_calls = 0;
  int close_calls = 0;
  int list_calls = 0;
  int changed_calls = 0;
  int grab_calls = 0;
};

// The script of the fake loaded from path (loading it if needed).
inline FakeScanwell& fake_scanwell_at(const char* path) {
  void* handle = ::dlopen(path, RTLD_NOW);
  auto get = reinterpret_cast<FakeScanwell* (*)()>(::dlsym(handle, "fake_scanwell"));
  return *get();
}

inline FakeDevice& add_fake_device(FakeScanwell& fake, std::string_view path) {
  FakeDevice& device = fake.devices[fake.device_count++];
  std::memcpy(device.path, path.data(), path.size());
  return device;
}

inline DisplayInfo fake_display(uint32_t connector_id, uint32_t crtc_id, std::string_view name,
                                uint32_t width = 1920, uint32_t height = 1080, uint32_t active = 1,
                                int32_t x = 0, int32_t y = 0) {
  DisplayInfo info{};
  info.connector_id = connector_id;
  info.crtc_id = crtc_id;
  std::memcpy(info.name, name.data(), std::min(name.size(), sizeof info.name));
  info.x = x;
  info.y = y;
  info.width = width;
  info.height = height;
  info.active = active;
  return info;
}

inline void add_fake_display(FakeDevice& device, const DisplayInfo& info) {
  device.displays[device.count++] = info;
}
