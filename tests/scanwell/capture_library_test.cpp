// libscanwell through its C entry points, against a scripted stand-in for
// scanwell-helper: how replies become frames and cursors, how a helper
// that cannot start, dies or misbehaves is reported, and that the helper
// is started lazily, given exactly its socket, and reaped.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pattern.hpp"
#include "scanwell.h"

namespace scanwell_test {
namespace {

constexpr std::uint64_t mod_invalid = 0x00FFFFFFFFFFFFFFull;
constexpr std::uint32_t xr24 = 0x34325258;

using Context = std::unique_ptr<ScanwellContext, decltype(&scanwell_close)>;

// The contents of a descriptor the library handed out, read the way a
// DMA-BUF is read: through a shared mapping.
std::string mapped_contents(int fd, std::size_t size) {
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return "(mmap failed: " + std::string(std::strerror(errno)) + ")";
  std::string bytes(static_cast<const char*>(address), size);
  ::munmap(address, size);
  return bytes;
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) >= 0; }

// What a descriptor refers to, as /proc names it ("/memfd:...", "/dmabuf:...").
std::string descriptor_target(int fd) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
}

bool udmabuf_usable() {
  int fd = ::open("/dev/udmabuf", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

class CaptureLibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/scanwell-test-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    directory_ = name;
    device_ = directory_ + "/card0";
    script({});
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  // The stand-in's answers, one line per request.
  void script(const std::vector<std::string>& lines) {
    std::ofstream file(device_, std::ios::trunc);
    for (const auto& line : lines) file << line << "\n";
  }

  Context open(const std::string& helper = HELPER_STANDIN) {
    CaptureOpenConfig config{};
    config.device = device_.c_str();
    config.helper_path = helper.c_str();
    return Context(scanwell_open(&config), &scanwell_close);
  }

  // What the stand-in recorded, line by line; empty when it never ran.
  std::vector<std::string> helper_log() const {
    std::vector<std::string> lines;
    std::ifstream file(device_ + ".log");
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  int starts() const {
    int count = 0;
    for (const auto& line : helper_log()) count += line.starts_with("started ") ? 1 : 0;
    return count;
  }

  pid_t helper_pid() const {
    for (const auto& line : helper_log()) {
      if (line.starts_with("started pid=")) return static_cast<pid_t>(std::atoi(line.c_str() + 12));
    }
    return -1;
  }

  std::string directory_;
  std::string device_;
};

TEST_F(CaptureLibraryTest, ReportsVersionZeroFive) { EXPECT_EQ(scanwell_version() & ~0xFF, 0x500); }

TEST_F(CaptureLibraryTest, OpenFailuresAreExplainedForTheNullContext) {
  CaptureOpenConfig missing{};
  missing.device = "/nonexistent/card0";
  EXPECT_EQ(scanwell_open(&missing), nullptr);
  EXPECT_STREQ(scanwell_error(nullptr), "cannot open /nonexistent/card0: No such file or directory");

  CaptureOpenConfig unknown_crtc{};
  unknown_crtc.device = device_.c_str();
  unknown_crtc.crtc_id = 41;
  EXPECT_EQ(scanwell_open(&unknown_crtc), nullptr);
  EXPECT_EQ(scanwell_error(nullptr), "CRTC 41 is not a display controller of " + device_);
}

TEST_F(CaptureLibraryTest, OpeningListingAndWatchingStartNoHelper) {
  Context context = open();
  ASSERT_TRUE(context);
  EXPECT_EQ(scanwell_render_node(context.get()), nullptr);
  EXPECT_EQ(scanwell_gpu_driver(context.get()), nullptr);
  DisplayInfo entries[4] = {};
  EXPECT_LT(scanwell_list_displays(context.get(), entries, 4), 0);
  EXPECT_EQ(scanwell_error(context.get()), device_ + " has no display controllers");
  EXPECT_EQ(scanwell_displays_changed(context.get()), 0);
  EXPECT_EQ(scanwell_displays_changed(context.get()), 0);
  EXPECT_EQ(starts(), 0);
}

TEST_F(CaptureLibraryTest, TheFirstGrabStartsTheHelperWithItsSocketTheDeviceAndStandardError) {
  script({"zero"});
  Context context = open();
  ASSERT_TRUE(context);
  testing::internal::CaptureStderr();
  FrameDesc frame{};
  scanwell_grab_desc(context.get(), &frame, frame.release_handle);
  std::string errors = testing::internal::GetCapturedStderr();

  EXPECT_NE(errors.find("helper-standin: started\n"), std::string::npos);
  auto log = helper_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0].find(" argc=2 device=" + device_ + " fd3=stream-socket open=0,1,2,3"), std::string::npos)
      << log[0];
  EXPECT_EQ(log[1], "request type=1 crtc=0");
}

TEST_F(CaptureLibraryTest, ADmabufReplyBecomesTheFramesDescriptor) {
  struct Case {
    const char* line;
    std::uint64_t modifier;
  };
  const Case cases[] = {
      {"dmabuf 64 32 256 0x34325258 0x0100000000000001 1 7", 0x0100000000000001},
      {"dmabuf 64 32 256 0x34325258 0x00FFFFFFFFFFFFFF 3 7", mod_invalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    script({c.line});
    Context context = open();
    FrameDesc frame{};
    ASSERT_EQ(scanwell_grab_desc(context.get(), &frame, frame.release_handle), 0);
    EXPECT_EQ(frame.width, 64u);
    EXPECT_EQ(frame.height, 32u);
    EXPECT_EQ(frame.fourcc, xr24);
    EXPECT_EQ(frame.modifier, c.modifier);
    EXPECT_EQ(frame.plane_count, 1u);
    EXPECT_EQ(frame.offsets[0], 0u);
    EXPECT_EQ(frame.pitches[0], 256u);
    EXPECT_EQ(mapped_contents(frame.fd, 256 * 32), pattern(256 * 32, 7));

    int fd = frame.fd;
    scanwell_frame_release(context.get(), frame.release_handle);
    EXPECT_FALSE(is_open(fd)) << "the release closes the frame's descriptor";
  }
}

TEST_F(CaptureLibraryTest, PixelRepliesGetMemoryOfTheirOwnPerFrame) {
  script({"pixels 64 32 256 9", "pixels 64 32 256 10"});
  Context context = open();
  FrameDesc first{};
  ASSERT_EQ(scanwell_grab_desc(context.get(), &first, first.release_handle), 0);
  EXPECT_EQ(first.modifier, 0u);
  EXPECT_EQ(first.pitches[0], 256u);
  EXPECT_GE(::lseek(first.fd, 0, SEEK_END), 256 * 32) << "users measure the buffer this way";
  std::string target = descriptor_target(first.fd);
  if (udmabuf_usable()) {
    EXPECT_NE(target.find("dmabuf"), std::string::npos) << "GPUs import a udmabuf: " << target;
  } else {
    EXPECT_NE(target.find("memfd:scanwell-frame"), std::string::npos) << target;
  }
  int kept = ::dup(first.fd);
  scanwell_frame_release(context.get(), first.release_handle);

  FrameDesc second{};
  ASSERT_EQ(scanwell_grab_desc(context.get(), &second, second.release_handle), 0);
  EXPECT_EQ(mapped_contents(second.fd, 256 * 32), pattern(256 * 32, 10));
  EXPECT_EQ(mapped_contents(kept, 256 * 32), pattern(256 * 32, 9)) << "a kept frame is never overwritten";
  scanwell_frame_release(context.get(), second.release_handle);
  ::close(kept);
}

TEST_F(CaptureLibraryTest, AZeroReplyMeansNothingIsScannedOutAndTheHelperGoesOn) {
  script({"zero", "dmabuf 16 16 64 0x34325258 0 1 1"});
  Context context = open();
  FrameDesc nothing{};
  EXPECT_EQ(scanwell_grab_desc(context.get(), &nothing, nothing.release_handle), -ENODEV);
  EXPECT_STREQ(scanwell_error(context.get()),
               "nothing is scanned out; the capture helper's reason is on standard error");
  FrameDesc frame{};
  EXPECT_EQ(scanwell_grab_desc(context.get(), &frame, frame.release_handle), 0);
  scanwell_frame_release(context.get(), frame.release_handle);
  EXPECT_EQ(starts(), 1);
}

TEST_F(CaptureLibraryTest, AHelperThatCannotStartOrRefusesIsEacces) {
  struct Case {
    const char* name;
    std::string helper;
    std::vector<std::string> script;
    std::string error;
  };
  const Case cases[] = {
      {"missing program", "/nonexistent/scanwell-helper", {},
       "cannot start the capture helper /nonexistent/scanwell-helper: No such file or directory"},
      {"not executable", device_, {},
       "cannot start the capture helper " + device_ + ": Permission denied"},
      {"refuses at start-up", HELPER_STANDIN, {"exit 1"},
       std::string("capture helper ") + HELPER_STANDIN +
           " refused to run (exit status 1); its reason is on standard error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(device_ + ".log");
    script(c.script);
    Context context = open(c.helper);
    FrameDesc frame{};
    EXPECT_EQ(scanwell_grab_desc(context.get(), &frame, frame.release_handle), -EACCES);
    EXPECT_EQ(scanwell_error(context.get()), c.error);
    CursorInfo cursor{};
    EXPECT_EQ(scanwell_get_cursor(context.get(), &cursor), -EACCES) << "the failure stays";
    scanwell_cursor_release(context.get(), &cursor);
    EXPECT_LE(starts(), 1) << "no second start";
  }
}

TEST_F(CaptureLibraryTest, AHelperThatDiesFailsTheGrabAndIsReaped) {
  script({"dmabuf 16 16 64 0x34325258 0 1 1", "kill"});
  Context context = open();
  FrameDesc frame{};
  ASSERT_EQ(scanwell_grab_desc(context.get(), &frame, frame.release_handle), 0);
  scanwell_frame_release(context.get(), frame.release_handle);

  FrameDesc lost{};
  EXPECT_EQ(scanwell_grab_desc(context.get(), &lost, lost.release_handle), -EPIPE);
  EXPECT_EQ(scanwell_error(context.get()),
            std::string("capture helper ") + HELPER_STANDIN + " was killed by signal 9 (SIGKILL)");
  EXPECT_EQ(scanwell_grab_desc(context.get(), &lost, lost.release_handle), -EPIPE);
  EXPECT_EQ(starts(), 1);
  EXPECT_EQ(::waitpid(helper_pid(), nullptr, WNOHANG), -1) << "no zombie left";
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(CaptureLibraryTest, RepliesTheLibraryCannotFollowEndTheHelper) {
  struct Case {
    const char* line;
    const char* error;
  };
  const Case cases[] = {
      {"reply 1 4096", "pixels announced with a DMA-BUF"},
      {"reply 7 0", "unknown transfer 7"},
      {"reply 0 100", "pixel data of 100 bytes for 16 rows of 64"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::filesystem::remove(device_ + ".log");
    script({c.line, "dmabuf 16 16 64 0x34325258 0 1 1"});
    Context context = open();
    FrameDesc frame{};
    EXPECT_EQ(scanwell_grab_desc(context.get(), &frame, frame.release_handle), -EPROTO);
    EXPECT_EQ(scanwell_error(context.get()),
              std::string("capture helper ") + HELPER_STANDIN + " broke the protocol: " + c.error);
    EXPECT_EQ(helper_log().back(), "end of stream") << "the helper was told to go";
    EXPECT_EQ(scanwell_grab_desc(context.get(), &frame, frame.release_handle), -EPROTO);
  }
}

TEST_F(CaptureLibraryTest, ADmabufReplyWithoutItsDescriptorFailsOnlyThatGrab) {
  script({"reply 1 0", "dmabuf 16 16 64 0x34325258 0 1 1"});
  Context context = open();
  FrameDesc frame{};
  EXPECT_EQ(scanwell_grab_desc(context.get(), &frame, frame.release_handle), -EPROTO);
  EXPECT_STREQ(scanwell_error(context.get()), "the capture helper's DMA-BUF did not arrive");
  EXPECT_EQ(scanwell_grab_desc(context.get(), &frame, frame.release_handle), 0);
  scanwell_frame_release(context.get(), frame.release_handle);
}

TEST_F(CaptureLibraryTest, CursorRepliesBecomeCursorInfo) {
  script({"cursor -10 20 3 4 64 64 5", "cursor-hidden 100 200"});
  Context context = open();
  CursorInfo cursor{};
  ASSERT_EQ(scanwell_get_cursor(context.get(), &cursor), 0);
  EXPECT_EQ(cursor.x, -10);
  EXPECT_EQ(cursor.y, 20);
  EXPECT_EQ(cursor.width, 64u);
  EXPECT_EQ(cursor.height, 64u);
  EXPECT_EQ(cursor.visible, 1u);
  ASSERT_NE(cursor.pixels, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(cursor.pixels), 64 * 64 * 4), pattern(64 * 64 * 4, 5));
  scanwell_cursor_release(context.get(), &cursor);
  EXPECT_EQ(cursor.pixels, nullptr);

  CursorInfo hidden{};
  ASSERT_EQ(scanwell_get_cursor(context.get(), &hidden), 0);
  EXPECT_EQ(hidden.visible, 0u);
  EXPECT_EQ(hidden.pixels, nullptr);
  scanwell_cursor_release(context.get(), &hidden);
  EXPECT_EQ(helper_log().back(), "request type=2 crtc=0");
}

TEST_F(CaptureLibraryTest, ClosingTheContextEndsAndReapsTheHelper) {
  script({"dmabuf 16 16 64 0x34325258 0 1 1"});
  Context context = open();
  FrameDesc frame{};
  ASSERT_EQ(scanwell_grab_desc(context.get(), &frame, frame.release_handle), 0);
  scanwell_frame_release(context.get(), frame.release_handle);
  context.reset();
  EXPECT_EQ(helper_log().back(), "end of stream");
  EXPECT_EQ(::waitpid(helper_pid(), nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace scanwell_test
