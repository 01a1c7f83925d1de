// The confined helper's request loop as a real process. Without a DRM
// device behind /dev/dri/card0 every request fails inside libdrm, so these
// cases show the loop's framing, its zero replies, its endings, and that
// the seccomp filter lets the helper do all of that, but not open a file.
#include <signal.h>
#include <sys/wait.h>

#include <cstring>

#include <gtest/gtest.h>

#include "fake_dri.hpp"
#include "helper_process.hpp"
#include "helper_protocol.hpp"

namespace scanwell_test {
namespace {

using scanwell::HelperRequest;
using scanwell::RequestType;

HelperRequest request(RequestType type, std::uint32_t crtc_id = 0) {
  HelperRequest header;
  header.type = static_cast<std::uint16_t>(type);
  header.crtc_id = crtc_id;
  return header;
}

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

class HelperRequests : public testing::Test {
 protected:
  void SetUp() override {
    if (!fake_dri_available()) GTEST_SKIP() << "needs a private mount namespace for a fake /dev/dri";
  }
};

TEST_F(HelperRequests, AnswersBackToBackRequestsInOrderWithZeroReplies) {
  HelperProcess helper({});
  HelperRequest requests[] = {request(RequestType::frame, 42), request(RequestType::cursor, 42),
                              request(RequestType::frame), request(RequestType::end)};
  helper.send(requests, sizeof requests);

  std::string replies = helper.read_to_end();
  EXPECT_EQ(replies, std::string(64 + 32 + 64, '\0'));
  EXPECT_TRUE(exited_with(helper.wait(), 0));
  std::string errors = helper.standard_error();
  std::string failure = "scanwell-helper: drmModeGetPlaneResources failed: Inappropriate ioctl for device\n";
  auto first = errors.find(failure);
  ASSERT_NE(first, std::string::npos) << errors;
  EXPECT_NE(errors.find(failure, first + 1), std::string::npos) << "one line per frame request";
}

TEST_F(HelperRequests, ReadsAHeaderThatArrivesInPieces) {
  HelperProcess helper({});
  HelperRequest frame = request(RequestType::frame);
  const auto* bytes = reinterpret_cast<const char*>(&frame);
  helper.send(bytes, 5);
  helper.send(bytes + 5, sizeof frame - 5);
  HelperRequest end = request(RequestType::end);
  helper.send(&end, sizeof end);
  EXPECT_EQ(helper.read_to_end(), std::string(64, '\0'));
  EXPECT_TRUE(exited_with(helper.wait(), 0));
}

TEST_F(HelperRequests, AnInvalidHeaderEndsTheLoopWithoutAReply) {
  struct Invalid {
    const char* name;
    void (*spoil)(HelperRequest&);
  };
  const Invalid cases[] = {
      {"magic", [](HelperRequest& r) { r.magic = 0x4C574354; }},
      {"version", [](HelperRequest& r) { r.version = 2; }},
      {"length", [](HelperRequest& r) { r.length = 20; }},
      {"type 3", [](HelperRequest& r) { r.type = 3; }},
  };
  for (const auto& invalid : cases) {
    SCOPED_TRACE(invalid.name);
    HelperProcess helper({});
    HelperRequest header = request(RequestType::frame);
    invalid.spoil(header);
    helper.send(&header, sizeof header);
    EXPECT_EQ(helper.read_to_end(), "");
    EXPECT_TRUE(exited_with(helper.wait(), 0));
  }
}

TEST_F(HelperRequests, EndsWhenThePeerClosesMidHeader) {
  HelperProcess helper({});
  HelperRequest frame = request(RequestType::frame);
  helper.send(&frame, 10);
  helper.close_socket();
  EXPECT_TRUE(exited_with(helper.wait(), 0));
}

TEST_F(HelperRequests, OpeningAFileAfterConfinementKillsTheHelper) {
  // The preloaded library opens a file as soon as the first request has
  // been read, i.e. inside the seccomp filter.
  HelperProcess helper({.preload = OPEN_AFTER_REQUEST_SHIM});
  HelperRequest frame = request(RequestType::frame);
  helper.send(&frame, sizeof frame);
  EXPECT_EQ(helper.read_to_end(), "") << "killed before it could reply";
  int status = helper.wait();
  ASSERT_TRUE(WIFSIGNALED(status)) << "wait status " << status;
  EXPECT_EQ(WTERMSIG(status), SIGSYS);
  EXPECT_NE(helper.standard_error().find("scanwell-helper: seccomp filter installed\n"), std::string::npos);
}

}  // namespace
}  // namespace scanwell_test
