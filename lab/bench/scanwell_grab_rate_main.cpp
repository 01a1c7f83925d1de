// scanwell-grab-bench: how many frames a second the capture library and its
// helper deliver from a real scan-out, and how much of that time goes to
// scanwell_displays_changed, which the capture loop calls before every grab.
//   scanwell-grab-bench HELPER [SECONDS]
// Captures the first lit display of the first DRM card and prints
//   "grabs: WxH N grabs in S s, R grabs/s, displays_changed P% of the time"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scanwell.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

int failed(const std::string& what, ScanwellContext* context) {
  const char* error = scanwell_error(context);
  std::fprintf(stderr, "scanwell-grab-bench: %s: %s\n", what.c_str(),
               error ? error : "no reason given");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: scanwell-grab-bench HELPER [SECONDS]\n");
    return 2;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
  CaptureOpenConfig config{};
  config.helper_path = argv[1];
  ScanwellContext* context = scanwell_open(&config);
  if (!context) return failed("scanwell_open", nullptr);

  // The first grab starts the helper; that is set-up, not rate.
  FrameDesc frame{};
  if (scanwell_grab_desc(context, &frame, frame.release_handle) < 0) return failed("grab", context);
  const unsigned width = frame.width;
  const unsigned height = frame.height;
  scanwell_frame_release(context, frame.release_handle);
  scanwell_displays_changed(context);

  long grabs = 0;
  Seconds in_changed{};
  const auto start = Clock::now();
  while (Seconds(Clock::now() - start).count() < seconds) {
    auto before = Clock::now();
    scanwell_displays_changed(context);
    in_changed += Clock::now() - before;
    frame = {};
    if (scanwell_grab_desc(context, &frame, frame.release_handle) < 0)
      return failed("grab", context);
    scanwell_frame_release(context, frame.release_handle);
    ++grabs;
  }
  const Seconds spent = Clock::now() - start;
  std::printf(
      "grabs: %ux%u %ld grabs in %.1f s, %.1f grabs/s, displays_changed %.1f%% of the time\n",
      width, height, grabs, spent.count(), static_cast<double>(grabs) / spent.count(),
      100.0 * in_changed.count() / spent.count());
  scanwell_close(context);
  return 0;
}
