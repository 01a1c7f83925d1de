// What the decoder accepts from the KVM, and the exact text of what it
// refuses. Each table runs its cases in order; a case names itself.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <variant>
#include <vector>

#include "session/catalogue.hpp"
#include "session/decode.hpp"
#include "session/payload_writer.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

struct DecodeCase {
  std::string label;
  MessageId id;
  Bytes payload;
  // The event, or the error text when this is empty.
  std::variant<KvmEvent, std::string> expected;
};

DecodeCase accepts(std::string label, MessageId id, Bytes payload, KvmEvent event) {
  return {std::move(label), id, std::move(payload), std::move(event)};
}

DecodeCase refuses(std::string label, MessageId id, Bytes payload, std::string text) {
  return {std::move(label), id, std::move(payload), std::move(text)};
}

void check(const std::vector<DecodeCase>& cases) {
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.label);
    auto result = decode(Frame{c.id.channel, c.id.type, c.payload});
    if (auto* text = std::get_if<std::string>(&c.expected)) {
      ASSERT_FALSE(result) << "decoded, event index " << result->index();
      EXPECT_EQ(result.error().message, *text);
    } else {
      ASSERT_TRUE(result) << result.error().message;
      EXPECT_TRUE(*result == std::get<KvmEvent>(c.expected)) << "event index " << result->index();
    }
  }
}

Bytes video_config(uint8_t enabled, uint8_t layout, uint8_t codec, uint8_t reserved, uint32_t width,
                   uint32_t height, uint32_t kbps, uint32_t fps) {
  return PayloadWriter()
      .u8(enabled)
      .u8(layout)
      .u8(codec)
      .u8(reserved)
      .u32(width)
      .u32(height)
      .u32(kbps)
      .u32(fps)
      .take();
}

Bytes text_bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Decode, SessionConfigHandsTheSettingsTextOnAsItIs) {
  std::string json = R"({"terminal_enabled": true})";
  check({
      accepts("settings", message::session_config, text_bytes(json), SessionConfig{json}),
      accepts("empty", message::session_config, {}, SessionConfig{""}),
  });
}

TEST(Decode, VideoConfig) {
  auto id = message::video_config;
  check({
      accepts("HEVC, layout 1", id, video_config(1, 1, 1, 0, 3840, 2160, 20000, 60),
              VideoConfig{true, 1, 1, 3840, 2160, 20000, 60}),
      accepts("disabled, no rate requests", id, video_config(0, 0, 0, 0, 1, 1, 0, 0),
              VideoConfig{false, 0, 0, 1, 1, 0, 0}),
      accepts("largest size and rate", id, video_config(1, 0, 0, 0, 16384, 16384, 1, 240),
              VideoConfig{true, 0, 0, 16384, 16384, 1, 240}),
      refuses("19 bytes", id, Bytes(19, 0), "invalid video.config payload length: 19"),
      refuses("21 bytes", id, Bytes(21, 0), "invalid video.config payload length: 21"),
      refuses("enabled 2", id, video_config(2, 0, 0, 0, 640, 480, 0, 0),
              "invalid video.config enabled value: 2"),
      refuses("layout 2", id, video_config(1, 2, 0, 0, 640, 480, 0, 0), "invalid video layout: 2"),
      refuses("codec 2", id, video_config(1, 0, 2, 0, 640, 480, 0, 0), "invalid video codec: 2"),
      refuses("reserved", id, video_config(1, 0, 0, 1, 640, 480, 0, 0),
              "non-zero video.config reserved byte"),
      refuses("width 16385", id, video_config(1, 0, 0, 0, 16385, 480, 0, 0),
              "invalid display resolution: 16385x480"),
      refuses("height 0", id, video_config(1, 0, 0, 0, 640, 0, 0, 0),
              "invalid display resolution: 640x0"),
      refuses("fps 241", id, video_config(1, 0, 0, 0, 640, 480, 0, 241),
              "invalid maximum frame rate: 241"),
      refuses("first failure wins", id, video_config(5, 7, 9, 1, 0, 0, 0, 999),
              "invalid video.config enabled value: 5"),
      refuses("layout before size", id, video_config(1, 3, 0, 0, 0, 0, 0, 999),
              "invalid video layout: 3"),
      refuses("size before fps", id, video_config(1, 0, 0, 0, 0, 0, 0, 999),
              "invalid display resolution: 0x0"),
  });
}

TEST(Decode, KeyframeRequest) {
  check({
      accepts("empty", message::video_request_keyframe, {}, KeyframeRequest{}),
      refuses("one byte", message::video_request_keyframe, {0},
              "video.request_keyframe must have an empty payload"),
  });
}

TEST(Decode, Clipboard) {
  std::string largest(65528, 'x');
  check({
      accepts("get", message::clipboard_get, {1, 2, 0, 0}, ClipboardGet{0x0201}),
      refuses("get, 3 bytes", message::clipboard_get, {1, 2, 0},
              "invalid clipboard.get payload length"),
      refuses("get, 5 bytes", message::clipboard_get, {1, 2, 0, 0, 0},
              "invalid clipboard.get payload length"),
      accepts("set", message::clipboard_set, PayloadWriter().u32(5).text("grüße").take(),
              ClipboardSet{5, "grüße"}),
      accepts("set, empty text", message::clipboard_set, {5, 0, 0, 0}, ClipboardSet{5, ""}),
      accepts("set, largest text", message::clipboard_set,
              PayloadWriter().u32(1).text(largest).take(), ClipboardSet{1, largest}),
      refuses("set, 3 bytes", message::clipboard_set, {5, 0, 0}, "message payload is truncated"),
      refuses("set, text too large", message::clipboard_set,
              PayloadWriter().u32(1).text(largest + "\xff").take(),
              "clipboard.set text is too large: 65529"),
      refuses("set, not UTF-8", message::clipboard_set, {5, 0, 0, 0, 'a', 0xC3},
              "clipboard.set text is not UTF-8"),
      refuses("set, surrogate", message::clipboard_set, {5, 0, 0, 0, 0xED, 0xA0, 0x80},
              "clipboard.set text is not UTF-8"),
      accepts("config on", message::clipboard_config, {1}, ClipboardConfig{true}),
      accepts("config off", message::clipboard_config, {0}, ClipboardConfig{false}),
      refuses("config, empty", message::clipboard_config, {},
              "invalid clipboard.config payload length"),
      refuses("config, 2 bytes", message::clipboard_config, {1, 0},
              "invalid clipboard.config payload length"),
      refuses("config 2", message::clipboard_config, {2},
              "invalid clipboard.config enabled value: 2"),
  });
}

Bytes terminal(uint32_t id, Bytes rest) { return PayloadWriter().u32(id).bytes(rest).take(); }

TEST(Decode, Terminal) {
  check({
      accepts("open", message::terminal_open, terminal(3, {24, 0, 80, 0}), TerminalOpen{3, 24, 80}),
      accepts("open, zero size", message::terminal_open, terminal(3, {0, 0, 0, 0}),
              TerminalOpen{3, 0, 0}),
      refuses("open, short id", message::terminal_open, {3, 0, 0}, "message payload is truncated"),
      refuses("open, id 0", message::terminal_open, terminal(0, {24, 0, 80, 0}),
              "terminal session id must be non-zero"),
      refuses("open, short size", message::terminal_open, terminal(3, {24, 0, 80}),
              "message payload is truncated"),
      refuses("open, trailing", message::terminal_open, terminal(3, {24, 0, 80, 0, 0}),
              "message payload has trailing bytes"),
      accepts("input", message::terminal_input, terminal(3, {'l', 's', '\n'}),
              TerminalInput{3, {'l', 's', '\n'}}),
      accepts("input, any bytes", message::terminal_input, terminal(3, {0x00, 0xFF}),
              TerminalInput{3, {0x00, 0xFF}}),
      refuses("input, none", message::terminal_input, terminal(3, {}),
              "terminal.input carries no data"),
      refuses("input, id 0", message::terminal_input, terminal(0, {}),
              "terminal session id must be non-zero"),
      accepts("resize", message::terminal_resize, terminal(3, {50, 0, 0, 1}),
              TerminalResize{3, 50, 256}),
      refuses("resize, 0 rows", message::terminal_resize, terminal(3, {0, 0, 80, 0}),
              "terminal.resize needs non-zero rows and columns"),
      refuses("resize, 0 columns", message::terminal_resize, terminal(3, {24, 0, 0, 0}),
              "terminal.resize needs non-zero rows and columns"),
      refuses("resize, short", message::terminal_resize, terminal(3, {0, 0}),
              "message payload is truncated"),
      refuses("resize, trailing before zero check", message::terminal_resize,
              terminal(3, {0, 0, 0, 0, 0}), "message payload has trailing bytes"),
      accepts("close", message::terminal_close, terminal(3, {}), TerminalClose{3}),
      refuses("close, trailing", message::terminal_close, terminal(3, {0}),
              "invalid terminal.close payload length"),
      refuses("close, empty", message::terminal_close, {}, "message payload is truncated"),
      accepts("credit", message::terminal_credit, terminal(3, {0, 0, 1, 0}),
              TerminalCredit{3, 65536}),
      refuses("credit, 7 bytes", message::terminal_credit, terminal(3, {0, 0, 1}),
              "message payload is truncated"),
      refuses("credit, 9 bytes", message::terminal_credit, terminal(3, {0, 0, 1, 0, 0}),
              "invalid terminal.credit payload length"),
      refuses("credit, id 0 first", message::terminal_credit, terminal(0, {0, 0, 1, 0, 0}),
              "terminal session id must be non-zero"),
      // Types the KVM does not send are dropped before any check.
      accepts("state from the KVM", message::terminal_state, {}, IgnoredMessage{}),
      accepts("type 10", {3, 10}, {}, IgnoredMessage{}),
  });
}

Bytes drop_entry(uint32_t id, uint64_t size, std::string_view name) {
  return PayloadWriter()
      .u32(id)
      .u64(size)
      .u16(static_cast<uint16_t>(name.size()))
      .text(name)
      .take();
}

Bytes file_drop(std::initializer_list<Bytes> entries, uint32_t count) {
  PayloadWriter payload;
  payload.u32(count);
  for (const Bytes& entry : entries) payload.bytes(entry);
  return payload.take();
}

Bytes file_drop(std::initializer_list<Bytes> entries) {
  return file_drop(entries, static_cast<uint32_t>(entries.size()));
}

TEST(Decode, FileDrop) {
  auto id = message::file_drop;
  const std::string invalid = "file.drop entry has an invalid id or name";
  check({
      accepts("two files", id,
              file_drop({drop_entry(1, 10, "a.txt"), drop_entry(2, 0, "Ünïcode ✓")}),
              FileDrop{{{1, 10, "a.txt"}, {2, 0, "Ünïcode ✓"}}}),
      accepts("three dots", id, file_drop({drop_entry(1, 1, "...")}), FileDrop{{{1, 1, "..."}}}),
      accepts("dot in front", id, file_drop({drop_entry(1, 1, ".profile")}),
              FileDrop{{{1, 1, ".profile"}}}),
      accepts("U+00A0 is printable", id, file_drop({drop_entry(1, 1, "a\u00a0b")}),
              FileDrop{{{1, 1, "a\u00a0b"}}}),
      refuses("3 bytes", id, {1, 0, 0}, "message payload is truncated"),
      refuses("count 0", id, file_drop({}), "file.drop names no files"),
      refuses("count 0 with an entry", id, file_drop({drop_entry(1, 1, "a")}, 0),
              "file.drop names no files"),
      refuses("count above the entries", id, file_drop({drop_entry(1, 1, "a")}, 2),
              "message payload is truncated"),
      refuses("huge count", id, file_drop({drop_entry(1, 1, "a")}, 0xFFFFFFFF),
              "message payload is truncated"),
      refuses("entry under 14 bytes", id, file_drop({Bytes(13, 1)}),
              "message payload is truncated"),
      refuses("name past the end", id,
              file_drop({PayloadWriter().u32(1).u64(1).u16(5).text("abcd").take()}),
              "message payload is truncated"),
      refuses("trailing", id, file_drop({drop_entry(1, 1, "a"), Bytes{0}}, 1),
              "message payload has trailing bytes"),
      refuses("not UTF-8", id, file_drop({drop_entry(1, 1, "a\xC0\xAF")}),
              "file.drop name is not UTF-8"),
      refuses("UTF-8 checked before the id", id, file_drop({drop_entry(0, 1, "\xFF")}),
              "file.drop name is not UTF-8"),
      refuses("id 0", id, file_drop({drop_entry(0, 1, "a")}), invalid),
      refuses("empty name", id, file_drop({drop_entry(1, 1, "")}), invalid),
      refuses("dot", id, file_drop({drop_entry(1, 1, ".")}), invalid),
      refuses("two dots", id, file_drop({drop_entry(1, 1, "..")}), invalid),
      refuses("slash", id, file_drop({drop_entry(1, 1, "../etc/passwd")}), invalid),
      refuses("backslash", id, file_drop({drop_entry(1, 1, "a\\b")}), invalid),
      refuses("NUL", id, file_drop({drop_entry(1, 1, std::string_view("a\0b", 3))}), invalid),
      refuses("line feed", id, file_drop({drop_entry(1, 1, "a\nb")}), invalid),
      refuses("ends in U+007F", id, file_drop({drop_entry(1, 1, "a\x7f")}), invalid),
      refuses("U+0085", id, file_drop({drop_entry(1, 1, "a\u0085")}), invalid),
      refuses("U+009F", id, file_drop({drop_entry(1, 1, "\u009f")}), invalid),
      refuses("second entry checked in turn", id,
              file_drop({drop_entry(1, 1, "fine"), drop_entry(2, 1, "..")}), invalid),
      refuses("an error in the first entry wins", id,
              file_drop({drop_entry(0, 1, "a"), Bytes{1, 2}}, 2), invalid),
  });
}

TEST(Decode, FileDropKeepsEveryEntryBeyondItsReservation) {
  PayloadWriter payload;
  payload.u32(2000);
  for (uint32_t i = 1; i <= 2000; ++i) payload.bytes(drop_entry(i, i, "f"));
  Bytes bytes = payload.take();
  auto result = decode(Frame{message::file_drop.channel, message::file_drop.type, bytes});
  ASSERT_TRUE(result) << result.error().message;
  const auto& entries = std::get<FileDrop>(*result).entries;
  ASSERT_EQ(entries.size(), 2000u);
  EXPECT_EQ(entries.back().transfer_id, 2000u);
}

TEST(Decode, ChunksAndCancels) {
  Bytes largest_data(65536 - 12, 0xEE);
  check({
      accepts("file chunk", message::file_chunk,
              PayloadWriter().u32(4).u64(1ull << 40).bytes(Bytes{9, 8}).take(),
              FileChunk{4, 1ull << 40, {9, 8}}),
      accepts("file chunk, no data", message::file_chunk, PayloadWriter().u32(4).u64(0).take(),
              FileChunk{4, 0, {}}),
      accepts("file chunk, largest", message::file_chunk,
              PayloadWriter().u32(4).u64(0).bytes(largest_data).take(),
              FileChunk{4, 0, largest_data}),
      refuses("file chunk above the limit", message::file_chunk, Bytes(65537, 1),
              "invalid file.chunk payload length"),
      refuses("file chunk, 11 bytes", message::file_chunk, Bytes(11, 1),
              "message payload is truncated"),
      refuses("file chunk, id 0", message::file_chunk, PayloadWriter().u32(0).u64(0).take(),
              "file.chunk without a transfer id"),
      accepts("update chunk", message::update_chunk,
              PayloadWriter().u32(4).u64(7).bytes(Bytes{1}).take(), UpdateChunk{4, 7, {1}}),
      refuses("update chunk above the limit", message::update_chunk, Bytes(65537, 1),
              "invalid update.chunk payload length"),
      refuses("update chunk, 11 bytes", message::update_chunk, Bytes(11, 1),
              "message payload is truncated"),
      refuses("update chunk, id 0", message::update_chunk, PayloadWriter().u32(0).u64(0).take(),
              "update.chunk without an update id"),
      accepts("file cancel", message::file_cancel, {7, 0, 0, 0}, FileCancel{7}),
      refuses("file cancel, short", message::file_cancel, {7, 0, 0},
              "message payload is truncated"),
      refuses("file cancel, long", message::file_cancel, {7, 0, 0, 0, 0},
              "message payload has trailing bytes"),
      accepts("update cancel", message::update_cancel, {7, 0, 0, 0}, UpdateCancel{7}),
      refuses("update cancel, short", message::update_cancel, {}, "message payload is truncated"),
      refuses("update cancel, long", message::update_cancel, {7, 0, 0, 0, 0},
              "message payload has trailing bytes"),
  });
}

Bytes update_begin(uint32_t id, uint64_t size, std::string_view version) {
  Bytes digest(32);
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(i);
  return PayloadWriter().u32(id).u64(size).bytes(digest).text(version).take();
}

TEST(Decode, UpdateBegin) {
  auto id = message::update_begin;
  const std::string invalid = "update.begin has an invalid id, size or version";
  UpdateBegin expected{3, 1 << 20, {}, "0.4.6"};
  for (size_t i = 0; i < expected.sha256.size(); ++i) expected.sha256[i] = static_cast<uint8_t>(i);
  UpdateBegin unversioned = expected;
  unversioned.version = "";
  UpdateBegin longest = expected;
  longest.version = std::string(64, 'v');
  check({
      accepts("version", id, update_begin(3, 1 << 20, "0.4.6"), expected),
      accepts("44 bytes, no version", id, update_begin(3, 1 << 20, ""), unversioned),
      accepts("64-byte version", id, update_begin(3, 1 << 20, std::string(64, 'v')), longest),
      refuses("43 bytes", id, Bytes(43, 1), "message payload is truncated"),
      refuses("65-byte version", id, update_begin(3, 1 << 20, std::string(65, 'v')), invalid),
      refuses("id 0", id, update_begin(0, 1 << 20, ""), invalid),
      refuses("size 0", id, update_begin(3, 0, ""), invalid),
      refuses("version not UTF-8", id, update_begin(3, 1, "1.\xff"),
              "update.begin version is not UTF-8"),
      refuses("id checked before UTF-8", id, update_begin(0, 1, "\xff"), invalid),
  });
}

// One accepted payload for every message the KVM sends in a running session.
std::vector<std::pair<MessageId, Bytes>> one_of_each_kvm_message() {
  return {
      {message::session_config, text_bytes("{}")},
      {message::video_config, video_config(1, 0, 0, 0, 8, 8, 0, 0)},
      {message::video_request_keyframe, {}},
      {message::clipboard_get, {1, 0, 0, 0}},
      {message::clipboard_set, {1, 0, 0, 0}},
      {message::clipboard_config, {1}},
      {message::terminal_open, terminal(1, {1, 0, 1, 0})},
      {message::terminal_input, terminal(1, {1})},
      {message::terminal_resize, terminal(1, {1, 0, 1, 0})},
      {message::terminal_close, terminal(1, {})},
      {message::terminal_credit, terminal(1, {1, 0, 0, 0})},
      {message::file_drop, file_drop({drop_entry(1, 1, "a")})},
      {message::file_chunk, PayloadWriter().u32(1).u64(0).take()},
      {message::file_cancel, {1, 0, 0, 0}},
      {message::update_begin, update_begin(1, 1, "")},
      {message::update_chunk, PayloadWriter().u32(1).u64(0).take()},
      {message::update_cancel, {1, 0, 0, 0}},
  };
}

TEST(Decode, TakesEveryCatalogueMessageFromTheKvmAndIgnoresTheRest) {
  auto samples = one_of_each_kvm_message();
  std::set<uint32_t> decoded;
  for (const auto& [id, payload] : samples) {
    auto result = decode(Frame{id.channel, id.type, payload});
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_FALSE(std::holds_alternative<IgnoredMessage>(*result));
    decoded.insert(id.word());
  }
  ASSERT_EQ(message_catalogue().size(), 40u);
  for (const CatalogueEntry& entry : message_catalogue()) {
    SCOPED_TRACE(std::string(entry.name));
    bool from_kvm = entry.direction == Direction::from_kvm;
    // Only the handshake reads session.ready; afterwards it is ignored.
    bool taken = from_kvm && entry.id != message::session_ready;
    EXPECT_EQ(decoded.count(entry.id.word()) == 1, taken);
    if (taken) continue;
    for (const Bytes& payload : {Bytes{}, Bytes(116, 0xFF)}) {
      auto result = decode(Frame{entry.id.channel, entry.id.type, payload});
      ASSERT_TRUE(result) << result.error().message;
      EXPECT_TRUE(std::holds_alternative<IgnoredMessage>(*result));
    }
  }
}

TEST(Decode, IgnoresPairsOutsideTheCatalogue) {
  for (MessageId id : {MessageId{6, 1}, MessageId{0xFFFF, 4}, MessageId{1, 2}, MessageId{0, 0},
                       MessageId{4, 8}, MessageId{5, 0xFFFF}}) {
    auto result = decode(Frame{id.channel, id.type, Bytes{1, 2, 3}});
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_TRUE(std::holds_alternative<IgnoredMessage>(*result));
  }
}

}  // namespace
}  // namespace corvane
