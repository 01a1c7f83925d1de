// scanwell-lab-check: the library and the real helper against a real KMS
// device, run by the lab test scanwell_capture inside the qemu guest while
// the lab's kms-desktop shows its test pattern and cursor.
//   scanwell-lab-check HELPER CURSOR_X,CURSOR_Y CONNECTOR...
// The connectors are named in the order kms-desktop lit them (that order
// picks each one's pattern); the cursor is expected on the first. Every
// captured pixel is compared with the pattern. Prints what it checked and
// the mean time of a grab; exits 1 at the first mismatch.
//   scanwell-lab-check --watch CONNECTOR READY_FILE
// Watches the displays from a context on CONNECTOR's CRTC, creates
// READY_FILE, and exits 0 once scanwell_displays_changed reports a change
// (1 when none comes within 60 s).
#include <linux/dma-buf.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "display/test_pattern.hpp"
#include "scanwell.h"

namespace {

constexpr std::uint32_t xr24 = 0x34325258;
constexpr std::uint64_t mod_invalid = 0x00FFFFFFFFFFFFFFull;
constexpr const char* device = "/dev/dri/card0";

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "FAIL: %s\n", message.c_str());
  std::exit(1);
}

void expect(bool holds, const std::string& what) {
  if (!holds) fail(what);
  std::printf("ok: %s\n", what.c_str());
}

std::string library_error(ScanwellContext* context) {
  const char* error = scanwell_error(context);
  return error ? error : "no error text";
}

struct Context {
  explicit Context(const CaptureOpenConfig& config) : handle(scanwell_open(&config)) {
    if (!handle) fail(std::string("scanwell_open: ") + library_error(nullptr));
  }
  ~Context() { scanwell_close(handle); }
  ScanwellContext* handle;
};

std::vector<DisplayInfo> list_displays() {
  CaptureOpenConfig config{};
  config.device = device;
  Context context(config);
  std::vector<DisplayInfo> displays(16);
  int count = scanwell_list_displays(context.handle, displays.data(), static_cast<int>(displays.size()));
  if (count < 0) fail("scanwell_list_displays: " + library_error(context.handle));
  displays.resize(static_cast<std::size_t>(count));
  for (const auto& d : displays) {
    std::printf("display %s crtc=%u %ux%u+%d+%d active=%u\n", d.name, d.crtc_id, d.width, d.height, d.x, d.y,
                d.active);
  }
  return displays;
}

const DisplayInfo& find(const std::vector<DisplayInfo>& displays, const std::string& name) {
  for (const auto& d : displays) {
    if (name == d.name) return d;
  }
  fail("no display " + name);
}

void sync_read(int fd, std::uint64_t flags) {
  dma_buf_sync sync{};
  sync.flags = DMA_BUF_SYNC_READ | flags;
  if (::ioctl(fd, DMA_BUF_IOCTL_SYNC, &sync) != 0) fail("DMA_BUF_IOCTL_SYNC: " + std::string(std::strerror(errno)));
}

void check_frame_pixels(const FrameDesc& frame, std::uint32_t index) {
  std::size_t size = std::size_t{frame.pitches[0]} * frame.height;
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, frame.fd, 0);
  if (address == MAP_FAILED) fail("mapping the frame's DMA-BUF: " + std::string(std::strerror(errno)));
  sync_read(frame.fd, DMA_BUF_SYNC_START);
  const auto* bytes = static_cast<const std::uint8_t*>(address);
  for (std::uint32_t y = 0; y < frame.height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(bytes + std::size_t{y} * frame.pitches[0]);
    for (std::uint32_t x = 0; x < frame.width; ++x) {
      std::uint32_t want = corvane::lab::desktop_pixel(x, y, index) & 0x00FFFFFF;
      if ((row[x] & 0x00FFFFFF) != want) {
        char text[128];
        std::snprintf(text, sizeof text, "pixel (%u, %u) is %08x, the pattern has %08x", x, y, row[x], want);
        fail(text);
      }
    }
  }
  sync_read(frame.fd, DMA_BUF_SYNC_END);
  ::munmap(address, size);
  expect(true, "every pixel of the DMA-BUF matches the pattern " + std::to_string(index));
}

void check_cursor(ScanwellContext* context, bool expected, std::int32_t x, std::int32_t y) {
  CursorInfo cursor{};
  int result = scanwell_get_cursor(context, &cursor);
  if (result < 0) fail("scanwell_get_cursor: " + library_error(context));
  if (!expected) {
    expect(cursor.visible == 0, "no cursor on this display");
    scanwell_cursor_release(context, &cursor);
    return;
  }
  expect(cursor.visible != 0 && cursor.pixels != nullptr, "a visible cursor");
  expect(cursor.x == x && cursor.y == y, "the cursor at " + std::to_string(x) + "," + std::to_string(y));
  expect(cursor.width == corvane::lab::cursor_size && cursor.height == corvane::lab::cursor_size, "a 64x64 cursor");
  for (std::uint32_t row = 0; row < cursor.height; ++row) {
    for (std::uint32_t column = 0; column < cursor.width; ++column) {
      std::uint32_t got = cursor.pixels[row * cursor.width + column];
      if (got != corvane::lab::cursor_pixel(column, row)) {
        fail("cursor pixel (" + std::to_string(column) + ", " + std::to_string(row) + ") differs");
      }
    }
  }
  expect(true, "every cursor pixel matches");
  scanwell_cursor_release(context, &cursor);
}

void time_grabs(ScanwellContext* context) {
  constexpr int rounds = 30;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    scanwell_displays_changed(context);
    FrameDesc frame{};
    if (scanwell_grab_desc(context, &frame, frame.release_handle) < 0) fail("grab: " + library_error(context));
    scanwell_frame_release(context, frame.release_handle);
  }
  auto spent = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  std::printf("info: displays_changed + grab + release: %lld us on average over %d rounds\n",
              static_cast<long long>(spent.count() / rounds), rounds);
}

void check_display(const DisplayInfo& display, std::uint32_t index, const char* helper, int cursor_x, int cursor_y) {
  std::printf("-- %s\n", display.name);
  expect(display.active != 0 && display.crtc_id != 0, std::string(display.name) + " is lit");
  CaptureOpenConfig config{};
  config.device = device;
  config.crtc_id = display.crtc_id;
  config.helper_path = helper;
  Context context(config);
  const char* render_node = scanwell_render_node(context.handle);
  const char* driver = scanwell_gpu_driver(context.handle);
  expect(render_node && std::string(render_node) == "/dev/dri/renderD128", "render node /dev/dri/renderD128");
  expect(driver && std::string(driver) == "virtio_gpu", "driver virtio_gpu");
  scanwell_displays_changed(context.handle);

  FrameDesc frame{};
  int result = scanwell_grab_desc(context.handle, &frame, frame.release_handle);
  if (result < 0) fail("grab: " + std::to_string(result) + " " + library_error(context.handle));
  expect(frame.width == display.width && frame.height == display.height, "the frame has the display's size");
  expect(frame.fourcc == xr24 && frame.modifier == mod_invalid, "XR24 without a modifier");
  expect(frame.plane_count == 1 && frame.pitches[0] >= frame.width * 4, "one plane with its pitch");
  check_frame_pixels(frame, index);
  scanwell_frame_release(context.handle, frame.release_handle);

  check_cursor(context.handle, index == 0, cursor_x, cursor_y);
  expect(scanwell_displays_changed(context.handle) == 0, "no display change reported while nothing changes");
  time_grabs(context.handle);
}

int watch(const char* connector, const char* ready_file) {
  CaptureOpenConfig config{};
  config.device = device;
  config.crtc_id = find(list_displays(), connector).crtc_id;
  Context context(config);
  scanwell_displays_changed(context.handle);
  int ready = ::open(ready_file, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (ready < 0) fail(std::string("create ") + ready_file);
  ::close(ready);
  for (int calls = 1; calls <= 1200; ++calls) {
    if (scanwell_displays_changed(context.handle) != 0) {
      std::printf("ok: a change reported after %d calls\n", calls);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fail("no change reported within 60 s");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--watch") return watch(argv[2], argv[3]);
  int cursor_x = 0;
  int cursor_y = 0;
  if (argc < 4 || std::sscanf(argv[2], "%d,%d", &cursor_x, &cursor_y) != 2) {
    std::fprintf(stderr, "usage: scanwell-lab-check HELPER CURSOR_X,CURSOR_Y CONNECTOR...\n");
    return 2;
  }
  auto displays = list_displays();
  for (int i = 3; i < argc; ++i) {
    check_display(find(displays, argv[i]), static_cast<std::uint32_t>(i - 3), argv[1], cursor_x, cursor_y);
  }
  std::printf("all checks passed\n");
  return 0;
}
