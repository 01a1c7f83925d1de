#include "session/settings.hpp"

#include <nlohmann/json.hpp>

#include <set>

namespace corvane {
namespace {

using nlohmann::json;

enum class Member { terminal_enabled, files_enabled, capture_display, display_mode_by_sender, other };

Member member_named(std::string_view name) {
  if (name == "terminal_enabled") return Member::terminal_enabled;
  if (name == "files_enabled") return Member::files_enabled;
  if (name == "capture_display") return Member::capture_display;
  if (name == "display_mode_by_sender") return Member::display_mode_by_sender;
  return Member::other;
}

enum class Kind { null, boolean, number, string, object, array };

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::null: return "null";
    case Kind::boolean: return "a boolean";
    case Kind::number: return "a number";
    case Kind::string: return "a string";
    case Kind::object: return "an object";
    case Kind::array: return "an array";
  }
  return "a value";
}

// Reads the document as a stream of events, so a member given twice is
// seen the moment its name comes again (a DOM would keep the last value).
// Containers nest to any depth without recursion in the library's parser;
// only the top level (depth 0) and its members (depth 1) are looked at.
class SettingsReader {
 public:
  bool null() { return value(Kind::null); }
  bool boolean(bool flag) { return value(Kind::boolean, flag); }
  bool number_integer(json::number_integer_t) { return value(Kind::number); }
  bool number_unsigned(json::number_unsigned_t) { return value(Kind::number); }
  bool number_float(json::number_float_t, const json::string_t&) { return value(Kind::number); }
  bool string(json::string_t& text) { return value(Kind::string, false, &text); }
  // Only binary formats produce these; JSON text never does.
  bool binary(json::binary_t&) { return value(Kind::string); }

  bool start_object(std::size_t) {
    bool top = depth_ == 0;
    bool accepted = top || value(Kind::object);
    ++depth_;
    return accepted;
  }
  bool end_object() {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) {
    bool accepted = value(Kind::array);
    ++depth_;
    return accepted;
  }
  bool end_array() {
    --depth_;
    return true;
  }

  bool key(json::string_t& name) {
    if (depth_ != 1) return true;
    if (!seen_.insert(name).second) return refuse("duplicate field `" + name + "`");
    current_ = member_named(name);
    current_name_ = std::move(name);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const json::exception& error) {
    return refuse(without_exception_id(error.what()));
  }

  Result<SessionSettings> finish() {
    if (error_) return fail(*error_);
    if (!seen_.contains("terminal_enabled")) return fail("missing field `terminal_enabled`");
    if (!seen_.contains("files_enabled")) return fail("missing field `files_enabled`");
    return settings_;
  }

 private:
  // Called for every value, at any depth, before its container (if it is
  // one) is entered. flag and text carry the content of a boolean and a
  // string.
  bool value(Kind kind, bool flag = false, std::string* text = nullptr) {
    if (depth_ == 0) {
      return refuse(std::string("invalid type for session.config: expected an object, found ") +
                    kind_name(kind));
    }
    if (depth_ > 1) return true;
    switch (current_) {
      case Member::terminal_enabled: return take_boolean(kind, flag, settings_.terminal_enabled);
      case Member::files_enabled: return take_boolean(kind, flag, settings_.files_enabled);
      case Member::display_mode_by_sender:
        return take_boolean(kind, flag, settings_.display_mode_by_sender);
      case Member::capture_display: return take_display(kind, text);
      case Member::other: return true;
    }
    return true;
  }

  bool take_boolean(Kind kind, bool flag, bool& field) {
    if (kind != Kind::boolean) return wrong_type("a boolean", kind);
    field = flag;
    return true;
  }

  bool take_display(Kind kind, std::string* text) {
    if (kind == Kind::null) {
      settings_.capture_display.reset();
      return true;
    }
    if (kind != Kind::string || text == nullptr) return wrong_type("a string or null", kind);
    settings_.capture_display = std::move(*text);
    return true;
  }

  bool wrong_type(const char* expected, Kind found) {
    return refuse("invalid type for `" + current_name_ + "`: expected " + expected + ", found " +
                  kind_name(found));
  }

  bool refuse(std::string message) {
    error_ = std::move(message);
    return false;
  }

  // The library prefixes its texts with an identifier such as
  // "[json.exception.parse_error.101] " that means nothing to a reader.
  static std::string without_exception_id(std::string_view text) {
    if (text.starts_with('[')) {
      if (auto end = text.find("] "); end != std::string_view::npos) text.remove_prefix(end + 2);
    }
    return std::string(text);
  }

  size_t depth_ = 0;
  Member current_ = Member::other;
  std::string current_name_;
  std::set<std::string, std::less<>> seen_;
  SessionSettings settings_;
  std::optional<std::string> error_;
};

}  // namespace

Result<SessionSettings> parse_session_settings(std::string_view json_text) {
  SettingsReader reader;
  json::sax_parse(json_text.begin(), json_text.end(), &reader);
  return reader.finish();
}

}  // namespace corvane
