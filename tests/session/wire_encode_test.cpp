// The bytes of every message this service sends, and the checks that keep
// a message from being sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/encode.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

// Little-endian by hand, independent of the code under test.
Bytes u32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes bytes;
  for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

Bytes text(std::string_view value) { return {value.begin(), value.end()}; }

Result<ControlMessage> sent(ControlMessage message) { return message; }

struct EncodeCase {
  std::string label;
  Result<ControlMessage> produced;
  MessageId id;
  Bytes payload;
};

TEST(Encode, LaysOutEveryMessageToTheKvm) {
  SessionToken token;
  for (size_t i = 0; i < token.size(); ++i) token[i] = static_cast<uint8_t>(0xA0 + i);
  std::array<uint8_t, hello_nonce_size> nonce;
  for (size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<uint8_t>(i);
  const std::vector<std::string> displays{"card0-HDMI-A-1", "card1-DP-2"};

  VideoStatus status{true, 1, 1, true, 1920, 1080, 120, 8000, 6000, 60, 0, "ok"};
  VideoStatus stopped{false, 0, 0, false, 0, 0, 0, 0, 0, 0, 1, ""};

  const std::vector<EncodeCase> cases = {
      {"session.hello", sent(encode_session_hello(token, nonce)), message::session_hello,
       join({u32(5), Bytes(token.begin(), token.end()), Bytes(nonce.begin(), nonce.end())})},
      {"session.keepalive", sent(encode_session_keepalive()), message::session_keepalive, {}},
      {"session.close", sent(encode_session_close(3)), message::session_close, {3}},
      {"session.info", sent(encode_session_info(displays)), message::session_info,
       text(R"({"displays":["card0-HDMI-A-1","card1-DP-2"],"version":"0.4.5"})")},
      {"session.info, no displays", sent(encode_session_info({})), message::session_info,
       text(R"({"displays":[],"version":"0.4.5"})")},
      // A name that is not UTF-8 is sent with U+FFFD rather than ending the session.
      {"session.info, stray byte",
       sent(encode_session_info(std::vector<std::string>{"card0-\xff"})), message::session_info,
       text("{\"displays\":[\"card0-\uFFFD\"],\"version\":\"0.4.5\"}")},
      {"video.state offer", encode_video_offer({true, true, 3840, 2160, 120}), message::video_state,
       join({u32(7), u32(3840), u32(2160), u32(120)})},
      {"video.state offer, H.264 only", encode_video_offer({false, false, 1, 16384, 240}),
       message::video_state, join({u32(1), u32(1), u32(16384), u32(240)})},
      {"video.state withdrawn", sent(encode_video_withdrawn()), message::video_state, Bytes(16, 0)},
      {"video.status", encode_video_status(status), message::video_status,
       join({{1, 1, 1, 1},
             u32(1920),
             u32(1080),
             u32(120),
             u32(8000),
             u32(6000),
             u32(60),
             u32(0),
             text("ok")})},
      {"video.status stopped", encode_video_status(stopped), message::video_status,
       join({{0, 0, 0, 0}, Bytes(24, 0), u32(1)})},
      {"clipboard.state available", sent(encode_clipboard_state(true)), message::clipboard_state,
       join({u32(3), u32(3)})},
      {"clipboard.state unavailable", sent(encode_clipboard_state(false)), message::clipboard_state,
       join({u32(0), u32(3)})},
      {"clipboard.data", encode_clipboard_data(9, 2, true, "hi"), message::clipboard_data,
       join({u32(9), {2, 1, 0, 0}, text("hi")})},
      {"clipboard.result", sent(encode_clipboard_result(9, 4)), message::clipboard_result,
       join({u32(9), {4}})},
      {"terminal.state", sent(encode_terminal_state(true)), message::terminal_state, u32(1)},
      {"terminal.state off", sent(encode_terminal_state(false)), message::terminal_state, u32(0)},
      {"terminal.opened", sent(encode_terminal_opened(2, 3)), message::terminal_opened,
       join({u32(2), {3}})},
      {"terminal.output", encode_terminal_output(2, Bytes{'$', ' '}), message::terminal_output,
       join({u32(2), {'$', ' '}})},
      {"terminal.closed", sent(encode_terminal_closed(2, 1)), message::terminal_closed,
       join({u32(2), {1}})},
      {"file.state", sent(encode_file_state(true)), message::file_state, u32(1)},
      {"file.accept", sent(encode_file_accept(5, 262144)), message::file_accept,
       join({u32(5), u32(262144)})},
      {"file.credit", sent(encode_file_credit(5, 65536)), message::file_credit,
       join({u32(5), u32(65536)})},
      {"file.result", sent(encode_file_result(5, 2, "disk full")), message::file_result,
       join({u32(5), u32(2), text("disk full")})},
      {"update.state", sent(encode_update_state(UpdatePlatform::linux_x86_64_appimage)),
       message::update_state, join({u32(1), text("linux-x86_64-appimage")})},
      {"update.state, other platform", sent(encode_update_state(UpdatePlatform::macos_aarch64)),
       message::update_state, join({u32(1), text("macos-aarch64")})},
      {"update.accept", sent(encode_update_accept(8, 1024)), message::update_accept,
       join({u32(8), u32(1024)})},
      {"update.credit", sent(encode_update_credit(8, 2048)), message::update_credit,
       join({u32(8), u32(2048)})},
      {"update.result", sent(encode_update_result(8, 1, "this installation cannot update itself")),
       message::update_result,
       join({u32(8), u32(1), text("this installation cannot update itself")})},
  };
  for (const EncodeCase& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(c.produced) << c.produced.error().message;
    EXPECT_EQ(c.produced->id(), c.id);
    EXPECT_EQ(c.produced->payload, c.payload);
  }
}

TEST(Encode, RefusesWhatFailsItsChecks) {
  struct Refusal {
    std::string label;
    Result<ControlMessage> produced;
    std::string text;
  };
  auto active = [](uint32_t width, uint32_t height, uint32_t rate, uint32_t maximum_fps) {
    return VideoStatus{true, 0, 0, false, width, height, rate, 0, 0, maximum_fps, 0, ""};
  };
  VideoStatus inactive_bad_maximum{false, 0, 0, false, 0, 0, 0, 0, 0, 241, 0, ""};
  const std::vector<Refusal> cases = {
      {"offer width 0", encode_video_offer({false, false, 0, 1080, 60}),
       "invalid display resolution: 0x1080"},
      {"offer height 16385", encode_video_offer({false, false, 1920, 16385, 60}),
       "invalid display resolution: 1920x16385"},
      {"offer rate 0", encode_video_offer({false, false, 1920, 1080, 0}), "invalid frame rate: 0"},
      {"offer rate 241", encode_video_offer({false, false, 1920, 1080, 241}),
       "invalid frame rate: 241"},
      {"status size", encode_video_status(active(0, 0, 0, 999)), "invalid display resolution: 0x0"},
      {"status rate", encode_video_status(active(640, 480, 241, 999)), "invalid frame rate: 241"},
      {"status maximum_fps", encode_video_status(active(640, 480, 60, 241)),
       "invalid video.status maximum_fps"},
      {"inactive status maximum_fps", encode_video_status(inactive_bad_maximum),
       "invalid video.status maximum_fps"},
      {"clipboard text 65529 bytes", encode_clipboard_data(1, 0, false, std::string(65529, 'x')),
       "clipboard text is too large: 65529"},
      {"terminal output empty", encode_terminal_output(1, Bytes{}),
       "invalid terminal output size: 0"},
      {"terminal output 65533 bytes", encode_terminal_output(1, Bytes(65533, 1)),
       "invalid terminal output size: 65533"},
      {"session.info beyond one message",
       sent(encode_session_info(std::vector<std::string>(5000, std::string(20, 'd')))), ""},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.text.empty()) {
      // Refused when it is framed rather than when it is built.
      ASSERT_TRUE(c.produced);
      auto framed = encode_control(*c.produced);
      ASSERT_FALSE(framed);
      EXPECT_EQ(framed.error().message,
                "control payload is too large: " + std::to_string(c.produced->payload.size()));
      continue;
    }
    ASSERT_FALSE(c.produced);
    EXPECT_EQ(c.produced.error().message, c.text);
  }
}

TEST(Encode, LargestTextsFillOneControlPayload) {
  auto clipboard = encode_clipboard_data(1, 0, false, std::string(65528, 'x'));
  ASSERT_TRUE(clipboard);
  EXPECT_EQ(clipboard->payload.size(), 65536u);
  EXPECT_TRUE(encode_control(*clipboard));

  auto output = encode_terminal_output(1, Bytes(65532, 1));
  ASSERT_TRUE(output);
  EXPECT_EQ(output->payload.size(), 65536u);
}

TEST(Encode, ResultTextsAreCutOnACharacterBoundary) {
  std::string two_byte_characters;
  for (int i = 0; i < 35000; ++i) two_byte_characters += "é";
  auto text_of = [](const ControlMessage& message) {
    return std::string(message.payload.begin() + 8, message.payload.end());
  };

  ControlMessage even = encode_file_result(1, 2, two_byte_characters);
  EXPECT_EQ(text_of(even), two_byte_characters.substr(0, 65528));

  // One byte in front puts the 65528th byte inside a character.
  ControlMessage shifted = encode_update_result(1, 2, "a" + two_byte_characters);
  EXPECT_EQ(text_of(shifted), ("a" + two_byte_characters).substr(0, 65527));

  std::string short_text = "short";
  EXPECT_EQ(text_of(encode_file_result(1, 0, short_text)), short_text);
}

TEST(Encode, AccessUnitPrefixIsTheHeaderAndTheFixedFields) {
  auto prefix = encode_access_unit_prefix({0x0102030405060708, true, true}, 1000);
  ASSERT_TRUE(prefix);
  Bytes expected = join({{1, 0, 5, 0}, u32(1012), {8, 7, 6, 5, 4, 3, 2, 1}, u32(3)});
  EXPECT_EQ(Bytes(prefix->begin(), prefix->end()), expected);

  auto delta = encode_access_unit_prefix({7, false, false}, 1);
  ASSERT_TRUE(delta);
  EXPECT_EQ(Bytes(delta->begin() + 16, delta->end()), u32(0));

  auto largest = encode_access_unit_prefix({0, true, false}, 8388608 - 12);
  ASSERT_TRUE(largest);
  EXPECT_EQ(Bytes(largest->begin() + 4, largest->begin() + 8), u32(8388608));

  for (size_t size : {size_t{0}, size_t{8388608 - 11}, size_t{1} << 33}) {
    auto refused = encode_access_unit_prefix({0, true, false}, size);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "invalid encoded access-unit size: " + std::to_string(size));
  }
}

}  // namespace
}  // namespace corvane
