#include "services/file_drop/file_destination.hpp"

#include <string>
#include <system_error>

#include "system/files.hpp"
#include "system/paths.hpp"

namespace corvane {
namespace {

constexpr std::string_view download_key = "XDG_DOWNLOAD_DIR";
constexpr std::string_view home_variable = "$HOME";

void skip_blanks(std::string_view& line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
}

bool take(std::string_view& line, std::string_view prefix) {
  if (!line.starts_with(prefix)) return false;
  line.remove_prefix(prefix.size());
  return true;
}

// The quoted value up to the closing quote (or the line's end).
std::string unquote(std::string_view value) {
  std::string result;
  for (size_t i = 0; i < value.size() && value[i] != '"'; ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    result.push_back(value[i]);
  }
  return result;
}

std::optional<std::filesystem::path> parse_line(std::string_view line,
                                                const std::filesystem::path& home) {
  skip_blanks(line);
  if (!take(line, download_key)) return std::nullopt;
  skip_blanks(line);
  if (!take(line, "=")) return std::nullopt;
  skip_blanks(line);
  if (!take(line, "\"")) return std::nullopt;
  if (take(line, home_variable)) {
    // "$HOME" alone or "$HOME/..."; anything else ("$HOMEX") is not ours.
    if (!take(line, "/") && !line.starts_with("\"")) return std::nullopt;
    // Joined as text: "$HOME//x" stays below home, where path's operator/
    // would take "/x" as absolute.
    auto relative = unquote(line);
    return relative.empty() ? home : std::filesystem::path(home.string() + "/" + relative);
  }
  if (!line.starts_with("/")) return std::nullopt;
  return std::filesystem::path(unquote(line));
}

bool is_folder(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::is_directory(path, ignored);
}

std::optional<std::filesystem::path> downloads_folder(const std::filesystem::path& home) {
  auto config = config_dir();
  if (!config) return std::nullopt;
  auto text = read_whole_file(*config / "user-dirs.dirs");
  if (!text) return std::nullopt;
  auto folder = download_dir_entry(*text, home);
  if (!folder || !is_folder(*folder)) return std::nullopt;
  return folder;
}

}  // namespace

std::optional<std::filesystem::path> download_dir_entry(std::string_view text,
                                                        const std::filesystem::path& home) {
  std::optional<std::filesystem::path> found;
  while (!text.empty()) {
    auto end = text.find('\n');
    auto line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (auto folder = parse_line(line, home)) found = std::move(folder);
  }
  return found;
}

std::optional<std::filesystem::path> find_file_destination() {
  auto home = home_dir();
  if (!home) return std::nullopt;
  if (auto downloads = downloads_folder(*home)) return downloads;
  if (is_folder(*home)) return home;
  return std::nullopt;
}

}  // namespace corvane
