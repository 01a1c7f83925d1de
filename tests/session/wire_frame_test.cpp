// Taking frames out of the bytes the KVM sends, and framing what is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "session/decode.hpp"
#include "session/frame.hpp"
#include "session/payload_writer.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame_bytes(MessageId id, const Bytes& payload) {
  return encode_control(ControlMessage(id, payload)).value();
}

Bytes header_only(uint16_t channel, uint16_t type, uint32_t length) {
  auto header = encode_frame_header({channel, type, length});
  return {header.begin(), header.end()};
}

TEST(ReadFrame, ChecksTheAnnouncedLengthAgainstItsMessagesLimitFromTheHeaderAlone) {
  struct Case {
    uint16_t channel, type;
    uint32_t length;
    bool accepted;
  };
  const Case cases[] = {
      {1, 5, 8388608, true},                           // video.access_unit may carry 8 MiB
      {1, 5, 8388609, false}, {0, 5, 8388608, false},  // every other pair is held to 64 KiB
      {4, 4, 65536, true},    {4, 4, 65537, false},
      {1, 3, 65537, false},   {9, 1, 65536, true},  // unknown pairs too
      {9, 1, 65537, false},   {5, 1, 0xFFFFFFFF, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channel) + "." + std::to_string(c.type) + " length " +
                 std::to_string(c.length));
    ReceiveBuffer buffer;
    buffer.append(header_only(c.channel, c.type, c.length));
    auto read = read_frame(buffer);
    if (c.accepted) {
      ASSERT_TRUE(read) << read.error().message;
      EXPECT_FALSE(read->complete);
      EXPECT_EQ(buffer.size(), 8u);
    } else {
      ASSERT_FALSE(read);
      EXPECT_EQ(read.error().message,
                "KVM message payload is too large: " + std::to_string(c.length));
    }
  }
}

TEST(ReadFrame, WaitsForTheWholeFrameAndTakesExactlyIt) {
  Bytes payload{1, 2, 3, 4, 5};
  Bytes stream = frame_bytes(message::clipboard_set, payload);
  Bytes next = frame_bytes(message::video_request_keyframe, {});
  stream.insert(stream.end(), next.begin(), next.end());

  ReceiveBuffer buffer;
  buffer.append(std::span(stream).first(7));
  auto read = read_frame(buffer);
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->complete);
  buffer.append(std::span(stream).subspan(7, 5));  // header and 4 of 5 payload bytes
  read = read_frame(buffer);
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->complete);
  EXPECT_EQ(buffer.size(), 12u);

  buffer.append(std::span(stream).subspan(12, 3));  // the last payload byte and 2 of the next
  read = read_frame(buffer);
  ASSERT_TRUE(read);
  ASSERT_TRUE(read->complete);
  EXPECT_EQ(read->frame.id(), message::clipboard_set);
  EXPECT_EQ(Bytes(read->frame.payload.begin(), read->frame.payload.end()), payload);
  EXPECT_EQ(buffer.size(), 2u);

  buffer.append(std::span(stream).subspan(15));
  read = read_frame(buffer);
  ASSERT_TRUE(read && read->complete);
  EXPECT_EQ(read->frame.id(), message::video_request_keyframe);
  EXPECT_TRUE(read->frame.payload.empty());
  EXPECT_EQ(buffer.size(), 0u);
}

// What a reader makes of a byte stream: the events in order, then the
// error that ended it, if any.
struct Outcome {
  std::vector<KvmEvent> events;
  std::string error;
};

Outcome read_in_pieces(const Bytes& stream, const std::vector<size_t>& piece_sizes) {
  Outcome outcome;
  ReceiveBuffer buffer;
  size_t at = 0;
  size_t piece = 0;
  while (at < stream.size()) {
    size_t size = std::min(piece_sizes[piece++ % piece_sizes.size()], stream.size() - at);
    buffer.append(std::span(stream).subspan(at, size));
    at += size;
    for (;;) {
      auto read = read_frame(buffer);
      if (!read) {
        outcome.error = read.error().message;
        return outcome;
      }
      if (!read->complete) break;
      auto event = decode(read->frame);
      if (!event) {
        outcome.error = event.error().message;
        return outcome;
      }
      if (!std::holds_alternative<IgnoredMessage>(*event)) outcome.events.push_back(*event);
    }
  }
  return outcome;
}

TEST(ReadFrame, FramesSplitOrBundledInAnyWayDecodeTheSame) {
  Bytes stream;
  auto add = [&](MessageId id, const Bytes& payload) {
    Bytes frame = frame_bytes(id, payload);
    stream.insert(stream.end(), frame.begin(), frame.end());
  };
  add(message::video_config,
      PayloadWriter().u8(1).u8(0).u8(1).u8(0).u32(1920).u32(1080).u32(8000).u32(60).take());
  add(message::session_ready, Bytes(116, 0xAB));  // after the handshake: ignored
  add({7, 1}, Bytes(300, 0x01));                  // unknown channel: ignored
  add(message::video_request_keyframe, {});
  add(message::file_chunk, PayloadWriter().u32(9).u64(4096).bytes(Bytes(60000, 0x5A)).take());
  add(message::terminal_input, PayloadWriter().u32(2).text("ls\n").take());
  for (int i = 0; i < 50; ++i) add(message::video_request_keyframe, {});
  add(message::clipboard_get, PayloadWriter().u32(77).take());

  const Outcome whole = read_in_pieces(stream, {stream.size()});
  ASSERT_EQ(whole.error, "");
  ASSERT_EQ(whole.events.size(), 55u);
  EXPECT_EQ(whole.events.back(), KvmEvent(ClipboardGet{77}));

  const std::vector<std::vector<size_t>> patterns = {
      {1}, {7}, {8}, {9}, {65536}, {3, 65536, 1, 20}, {stream.size() - 1, 1}};
  for (const auto& pattern : patterns) {
    SCOPED_TRACE("first piece size " + std::to_string(pattern.front()));
    Outcome split = read_in_pieces(stream, pattern);
    EXPECT_EQ(split.error, "");
    EXPECT_TRUE(split.events == whole.events);
  }
}

TEST(ReadFrame, AnOversizedHeaderEndsTheStreamBeforeItsPayloadArrives) {
  Bytes stream = frame_bytes(message::video_request_keyframe, {});
  Bytes oversized = header_only(4, 4, 65537);
  stream.insert(stream.end(), oversized.begin(), oversized.end());
  Outcome outcome = read_in_pieces(stream, {1});
  EXPECT_EQ(outcome.events.size(), 1u);
  EXPECT_EQ(outcome.error, "KVM message payload is too large: 65537");
}

TEST(EncodeControl, WritesTheHeaderThenThePayloadUpToTheControlLimit) {
  auto bytes = encode_control(ControlMessage(message::session_close, {3}));
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, (Bytes{0, 0, 4, 0, 1, 0, 0, 0, 3}));

  auto largest = encode_control(ControlMessage(message::terminal_output, Bytes(65536, 7)));
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->size(), 8u + 65536u);
  EXPECT_EQ(Bytes(largest->begin(), largest->begin() + 8), (Bytes{3, 0, 5, 0, 0, 0, 1, 0}));

  auto too_large = encode_control(ControlMessage(message::terminal_output, Bytes(65537, 7)));
  ASSERT_FALSE(too_large);
  EXPECT_EQ(too_large.error().message, "control payload is too large: 65537");
}

}  // namespace
}  // namespace corvane
