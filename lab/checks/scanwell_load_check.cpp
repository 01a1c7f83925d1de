// scanwell-load-check: many requests through the capture library to one
// helper, the way a long capture session makes them: before every grab the
// library is asked whether the displays changed, every grab's frame is
// released again, and every tenth grab is followed by a cursor query. One
// helper serves them all, so a system call that its seccomp filter lacks and
// that only a rare path makes (a heap trim, a larger reply) kills it with
// SIGSYS somewhere along the way, and the next request names the signal.
//   scanwell-load-check HELPER GRABS
// Prints a progress line every 1000 grabs and, at the end,
//   "load: N grabs and M cursor queries answered by one helper"
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scanwell.h"

namespace {

constexpr long progress_every = 1000;
constexpr long cursor_every = 10;

int failed(const std::string& what, long grabs, ScanwellContext* context) {
  const char* error = scanwell_error(context);
  std::fprintf(stderr, "scanwell-load-check: %s after %ld grabs: %s\n", what.c_str(), grabs,
               error ? error : "no reason given");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: scanwell-load-check HELPER GRABS\n");
    return 2;
  }
  const long total = std::atol(argv[2]);
  CaptureOpenConfig config{};
  config.helper_path = argv[1];
  ScanwellContext* context = scanwell_open(&config);
  if (!context) return failed("scanwell_open", 0, nullptr);

  long cursors = 0;
  for (long grabs = 0; grabs < total;) {
    scanwell_displays_changed(context);
    FrameDesc frame{};
    if (scanwell_grab_desc(context, &frame, frame.release_handle) < 0) {
      return failed("grab", grabs, context);
    }
    scanwell_frame_release(context, frame.release_handle);
    ++grabs;
    if (grabs % cursor_every == 0) {
      CursorInfo cursor{};
      if (scanwell_get_cursor(context, &cursor) < 0) return failed("cursor", grabs, context);
      scanwell_cursor_release(context, &cursor);
      ++cursors;
    }
    if (grabs % progress_every == 0) {
      std::printf("%ld grabs, %ux%u, sequence %u\n", grabs, frame.width, frame.height,
                  frame.sequence);
      std::fflush(stdout);
    }
  }
  scanwell_close(context);
  std::printf("load: %ld grabs and %ld cursor queries answered by one helper\n", total, cursors);
  return 0;
}
