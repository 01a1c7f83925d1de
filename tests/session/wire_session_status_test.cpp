// The 24-byte answer to the vendor control requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/session_status.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes status_record(uint8_t state, uint8_t token_fill = 0x11) {
  Bytes bytes{'T', 'R', 'K', '5', state, 0, 0, 0};
  bytes.resize(24, token_fill);
  return bytes;
}

Bytes changed(Bytes bytes, size_t at, uint8_t value) {
  bytes[at] = value;
  return bytes;
}

Bytes resized(Bytes bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}

TEST(SessionStatus, ReadsStateAndToken) {
  Bytes record = status_record(1);
  record[23] = 0x99;
  auto status = parse_session_status(record);
  ASSERT_TRUE(status) << status.error().message;
  EXPECT_EQ(status->state, SessionState::ready);
  EXPECT_EQ(status->token[0], 0x11);
  EXPECT_EQ(status->token[15], 0x99);

  auto stuck = parse_session_status(status_record(3));
  ASSERT_TRUE(stuck);
  EXPECT_EQ(stuck->state, SessionState::cancel_failed);

  // One non-zero byte is enough for a token.
  auto sparse = parse_session_status(changed(status_record(0, 0), 8, 1));
  ASSERT_TRUE(sparse);
  EXPECT_EQ(sparse->state, SessionState::resetting);
}

TEST(SessionStatus, RefusesMalformedRecords) {
  const std::string invalid = "invalid KVM USB reset status";
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {{}, "message payload is truncated"},
      {resized(status_record(1), 23), "message payload is truncated"},
      {resized(status_record(1), 25), "message payload has trailing bytes"},
      {changed(status_record(1), 0, 'X'), invalid},
      {changed(status_record(1), 3, '4'), invalid},
      {status_record(4), invalid},
      {status_record(0xFF), invalid},
      {changed(status_record(1), 5, 1), invalid},
      {changed(status_record(1), 7, 1), invalid},
      {status_record(1, 0), "the KVM returned an empty session token"},
      // The form is checked before the token.
      {changed(status_record(1, 0), 6, 1), invalid},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    auto status = parse_session_status(cases[i].first);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().message, cases[i].second);
  }
}

}  // namespace
}  // namespace corvane
