// Connector names reach display names through this conversion.
#include "system/lossy_utf8.hpp"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(FromUtf8Lossy, ReplacesEachIllFormedPartWithOneReplacementCharacter) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::string bytes;
    std::string text;
  };
  for (const Case& c : {
           Case{"HDMI-A-1", "HDMI-A-1"},
           Case{"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
           Case{"a\xFF" "b", "a" + r + "b"},
           Case{"\x80\x80", r + r},                   // stray continuation bytes
           Case{"\xC0\xAF", r + r},                   // overlong lead never starts one
           Case{"\xE0\x80\xAF", r + r + r},           // overlong three-byte form
           Case{"\xED\xA0\x80", r + r + r},           // surrogate
           Case{"\xF4\x90\x80\x80", r + r + r + r},   // past U+10FFFF
           Case{"\xE2\x82", r},                       // truncated at the end
           Case{"\xE2\x82" "x", r + "x"},             // truncated in the middle
           Case{"\xF0\x9F\x98", r},
           Case{"\xF0\x9F\x98" "\xC3\xA9", r + "\xC3\xA9"},
           Case{std::string("a\0b", 3), std::string("a\0b", 3)},
       }) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(from_utf8_lossy(c.bytes), c.text);
  }
}

}  // namespace
}  // namespace corvane
