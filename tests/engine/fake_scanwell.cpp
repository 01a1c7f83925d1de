// The fake capture library. FAKE_SCANWELL_LACKING builds a variant without
// scanwell_open and scanwell_gpu_driver, for the binding's symbol check.
#include "engine/fake_scanwell.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

FakeScanwell script;

struct Context {
  FakeDevice* device;
};

template <size_t N>
void copy_text(char (&to)[N], const char* from) {
  std::strncpy(to, from, N - 1);
}

#ifndef FAKE_SCANWELL_LACKING
FakeDevice* find_device(const char* path) {
  if (script.device_count == 0) return nullptr;
  if (!path) return &script.devices[0];
  for (int i = 0; i < script.device_count; ++i) {
    if (std::strcmp(script.devices[i].path, path) == 0) return &script.devices[i];
  }
  return nullptr;
}

void record_open(const CaptureOpenConfig& config) {
  FakeOpen& open = script.opens[std::min(script.open_calls, 7)];
  open = FakeOpen{};
  open.device_given = config.device != nullptr;
  if (config.device) copy_text(open.device, config.device);
  open.crtc_id = config.crtc_id;
  open.helper_given = config.helper_path != nullptr;
  if (config.helper_path) copy_text(open.helper_path, config.helper_path);
  ++script.open_calls;
}
#endif

}  // namespace

extern "C" {

FakeScanwell* fake_scanwell() { return &script; }

int scanwell_version() {
  ++script.version_calls;
  return script.version;
}

#ifndef FAKE_SCANWELL_LACKING
void* scanwell_open(const CaptureOpenConfig* config) {
  record_open(*config);
  FakeDevice* device = find_device(config->device);
  if (!device || script.open_calls == script.failing_open) return nullptr;
  return new Context{device};
}
#endif

void scanwell_close(void* context) {
  ++script.close_calls;
  delete static_cast<Context*>(context);
}

int scanwell_list_displays(void* context, DisplayInfo* entries, int capacity) {
  ++script.list_calls;
  FakeDevice& device = *static_cast<Context*>(context)->device;
  int written = std::clamp(std::min(device.count, capacity), 0, 72);
  std::copy_n(device.displays, written, entries);
  return device.count;
}

int scanwell_displays_changed(void*) {
  ++script.changed_calls;
  return 0;
}

int scanwell_grab_desc(void*, FrameDesc* frame, void* release_handle) {
  ++script.grab_calls;
  if (script.grab_result < 0) return script.grab_result;
  frame->fd = ::memfd_create("fake-scan-out", MFD_CLOEXEC);
  frame->width = 64;
  frame->height = 32;
  frame->fourcc = 0x34325258;  // XR24
  frame->plane_count = 1;
  frame->pitches[0] = 256;
  std::memcpy(release_handle, &frame->fd, sizeof frame->fd);
  return script.grab_result;
}

void scanwell_frame_release(void*, void* release_handle) {
  int fd = -1;
  std::memcpy(&fd, release_handle, sizeof fd);
  ::close(fd);
}

int scanwell_get_cursor(void*, CursorInfo*) { return 0; }

void scanwell_cursor_release(void*, CursorInfo*) {}

const char* scanwell_error(void*) { return script.error_text[0] ? script.error_text : nullptr; }

const char* scanwell_render_node(void*) { return "/dev/dri/renderD128"; }

#ifndef FAKE_SCANWELL_LACKING
const char* scanwell_gpu_driver(void*) { return "fake"; }
#endif

}  // extern "C"
