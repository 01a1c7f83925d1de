#include "session/settings.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace corvane {
namespace {

SessionSettings settings(bool terminal, bool files, std::optional<std::string> display,
                         bool by_sender) {
  return {terminal, files, std::move(display), by_sender};
}

// Each case carries a name, so test listings read as what is checked.
template <class Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

struct Accepted {
  const char* name;
  const char* json;
  SessionSettings expected;
  friend void PrintTo(const Accepted& value, std::ostream* out) { *out << value.name; }
};

class SettingsAccepted : public testing::TestWithParam<Accepted> {};

TEST_P(SettingsAccepted, ReadsTheMembers) {
  auto parsed = parse_session_settings(GetParam().json);
  ASSERT_TRUE(parsed) << parsed.error().message;
  EXPECT_EQ(*parsed, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    SessionSettings, SettingsAccepted,
    testing::Values(
        Accepted{"all_members", R"({"terminal_enabled":true,"files_enabled":false,
                     "capture_display":"card0-HDMI-A-1","display_mode_by_sender":true})",
                 settings(true, false, "card0-HDMI-A-1", true)},
        // The optional members fall back to no display and false.
        Accepted{"defaults", R"({"files_enabled":true,"terminal_enabled":false})",
                 settings(false, true, std::nullopt, false)},
        Accepted{"null_display", R"( {"terminal_enabled":true,"files_enabled":true,"capture_display":null} )",
                 settings(true, true, std::nullopt, false)},
        // Unknown members are skipped whatever they hold, including names
        // that repeat inside them and known names at a deeper level.
        Accepted{"unknown_members", R"({"version":3,"terminal_enabled":true,
                     "extra":{"a":1,"a":2,"terminal_enabled":"no","list":[[{}],null]},
                     "more":[1.5,-2,"x",{"files_enabled":7}],"files_enabled":true})",
                 settings(true, true, std::nullopt, false)},
        Accepted{"unicode_display", R"({"terminal_enabled":false,"files_enabled":false,"capture_display":"Ünïcode \u00e9"})",
                 settings(false, false, "Ünïcode é", false)}),
    case_name<Accepted>);

struct Refused {
  const char* name;
  const char* json;
  const char* message;
  friend void PrintTo(const Refused& value, std::ostream* out) { *out << value.name; }
};

class SettingsRefused : public testing::TestWithParam<Refused> {};

TEST_P(SettingsRefused, NamesTheFault) {
  auto parsed = parse_session_settings(GetParam().json);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    SessionSettings, SettingsRefused,
    testing::Values(
        Refused{"no_terminal", R"({"files_enabled":true})", "missing field `terminal_enabled`"},
        Refused{"no_files", R"({"terminal_enabled":true,"capture_display":"x"})",
                "missing field `files_enabled`"},
        Refused{"empty", R"({})", "missing field `terminal_enabled`"},
        // Even the same value twice is refused, and at once: the wrong type
        // after the repeated name is never looked at.
        Refused{"same_value_twice",
                R"({"terminal_enabled":true,"files_enabled":true,"terminal_enabled":true})",
                "duplicate field `terminal_enabled`"},
        Refused{"duplicate_before_type_error", R"({"capture_display":null,"capture_display":"a","terminal_enabled":7})",
                "duplicate field `capture_display`"},
        Refused{"unknown_twice", R"({"terminal_enabled":true,"files_enabled":true,"note":1,"note":1})",
                "duplicate field `note`"},
        Refused{"boolean_as_string", R"({"terminal_enabled":"true","files_enabled":true})",
                "invalid type for `terminal_enabled`: expected a boolean, found a string"},
        Refused{"boolean_as_number", R"({"terminal_enabled":true,"files_enabled":1})",
                "invalid type for `files_enabled`: expected a boolean, found a number"},
        Refused{"boolean_as_null",
                R"({"terminal_enabled":true,"files_enabled":true,"display_mode_by_sender":null})",
                "invalid type for `display_mode_by_sender`: expected a boolean, found null"},
        Refused{"display_as_array",
                R"({"terminal_enabled":true,"files_enabled":true,"capture_display":["a"]})",
                "invalid type for `capture_display`: expected a string or null, found an array"},
        Refused{"boolean_as_object", R"({"terminal_enabled":{},"files_enabled":true})",
                "invalid type for `terminal_enabled`: expected a boolean, found an object"},
        Refused{"top_array", R"([{"terminal_enabled":true,"files_enabled":true}])",
                "invalid type for session.config: expected an object, found an array"},
        Refused{"top_string", R"("settings")", "invalid type for session.config: expected an object, found a string"},
        Refused{"top_null", R"(null)", "invalid type for session.config: expected an object, found null"}),
    case_name<Refused>);

// Syntax errors carry the reader's own description of where the text
// broke, without its internal exception identifier.
TEST(SessionSettingsSyntax, ReportsTheReadersMessage) {
  const std::string invalid_utf8 = "{\"terminal_enabled\":true,\"files_enabled\":true,"
                                   "\"capture_display\":\"\xff\"}";
  for (std::string json : {std::string(), std::string("{"), std::string(R"({"terminal_enabled":true,})"),
                           std::string(R"({"terminal_enabled":true,"files_enabled":true} x)"),
                           std::string(R"({"terminal_enabled":tru,"files_enabled":true})"),
                           invalid_utf8}) {
    auto parsed = parse_session_settings(json);
    ASSERT_FALSE(parsed) << json;
    EXPECT_TRUE(parsed.error().message.starts_with("parse error at line 1, column "))
        << parsed.error().message;
  }
}

}  // namespace
}  // namespace corvane
