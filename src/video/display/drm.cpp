#include "video/display/drm.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <system_error>

#include "system/files.hpp"
#include "system/lossy_utf8.hpp"
#include "system/utf8.hpp"

namespace corvane {
namespace {

constexpr int entries_per_card = 64;

std::filesystem::path drm_class_dir(const std::filesystem::path& root) {
  return root / "sys/class/drm";
}

// card0, card12; not card0-DP-1, renderD128 or version.
bool is_card_name(std::string_view name) {
  constexpr std::string_view prefix = "card";
  if (!name.starts_with(prefix) || name.size() == prefix.size()) return false;
  return std::ranges::all_of(name.substr(prefix.size()),
                             [](char c) { return c >= '0' && c <= '9'; });
}

Result<std::vector<std::string>> card_names(const std::filesystem::path& root) {
  std::filesystem::path dir = drm_class_dir(root);
  std::error_code error;
  std::filesystem::directory_iterator entries(dir, error);
  std::vector<std::string> cards;
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    std::string name = entries->path().filename().string();
    if (is_card_name(name)) cards.push_back(std::move(name));
  }
  if (error) return fail("cannot read " + dir.string() + ": " + error.message());
  return cards;
}

// A card whose device cannot be opened, or a missing capture library,
// contributes no displays: there is nothing to capture there.
void append_card_displays(const std::string& card, std::vector<Display>& displays) {
  std::array<DisplayInfo, entries_per_card> entries{};
  std::string device = "/dev/dri/" + card;
  int count = capture_list_displays(device.c_str(), entries.data(), entries_per_card);
  if (count <= 0) return;
  for (const DisplayInfo& entry :
       std::span(entries).first(static_cast<size_t>(std::min(count, entries_per_card)))) {
    const void* end = std::memchr(entry.name, '\0', sizeof entry.name);
    if (!end) continue;
    std::string_view connector(entry.name, static_cast<const char*>(end) - entry.name);
    displays.push_back({card, from_utf8_lossy(connector), entry});
  }
}

// Bytes 8 and 9 of an EDID hold the manufacturer; 0x6A 0xCE spells "ZVN".
bool has_kvm_manufacturer(const std::string& edid) {
  return edid.size() >= 10 && static_cast<uint8_t>(edid[8]) == 0x6A &&
         static_cast<uint8_t>(edid[9]) == 0xCE;
}

// The last component of a device path; empty when there is none.
std::string_view last_component(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (last == "." || last == "..") return {};
  return last;
}

}  // namespace

std::string Display::name() const { return card + "-" + connector; }

bool Display::online() const { return info.width != 0 && info.height != 0 && info.active != 0; }

bool Display::primary() const { return info.x == 0 && info.y == 0; }

Result<std::vector<Display>> list_displays(const std::filesystem::path& root) {
  auto cards = card_names(root);
  if (!cards) return std::unexpected(cards.error());
  std::vector<Display> displays;
  for (const std::string& card : *cards) append_card_displays(card, displays);
  // std::string compares its chars as unsigned bytes.
  std::ranges::stable_sort(displays, {}, &Display::name);
  return displays;
}

Result<FoundDisplay> find_display(const std::string& name, const std::filesystem::path& root) {
  auto displays = list_displays(root);
  if (!displays) return std::unexpected(displays.error());
  auto found = std::ranges::find_if(*displays, [&](const Display& display) {
    return display.online() && display.name() == name;
  });
  if (found == displays->end()) return FoundDisplay{};
  return FoundDisplay{*found};
}

std::vector<std::string> online_display_names(const std::filesystem::path& root) {
  std::vector<std::string> names;
  for (const Display& display : list_displays(root).value_or(std::vector<Display>{})) {
    if (display.online()) names.push_back(display.name());
  }
  return names;
}

std::set<std::string> kvm_display_names(const std::filesystem::path& root) {
  std::set<std::string> names;
  for (const Display& display : list_displays(root).value_or(std::vector<Display>{})) {
    auto edid = read_whole_file(drm_class_dir(root) / display.name() / "edid");
    if (edid && has_kvm_manufacturer(*edid)) names.insert(display.name());
  }
  return names;
}

std::string describe_displays(const std::vector<Display>& displays) {
  std::string text;
  for (const Display& display : displays) {
    if (!text.empty()) text += ", ";
    text += display.name() + "=" + std::to_string(display.info.width) + "x" +
            std::to_string(display.info.height) + " origin=(" + std::to_string(display.info.x) +
            ", " + std::to_string(display.info.y) + ")" +
            " primary=" + (display.primary() ? "true" : "false") +
            " online=" + (display.online() ? "true" : "false");
  }
  return text;
}

bool is_nvidia_device(const std::string& device_path, const std::filesystem::path& root) {
  std::string_view card = last_component(device_path);
  if (card.empty() || !is_valid_utf8(card)) return false;
  std::error_code error;
  auto target = std::filesystem::read_symlink(drm_class_dir(root) / card / "device/driver", error);
  if (error) return false;
  std::string driver = target.filename().string();
  return driver == "nvidia-drm" || driver == "nvidia";
}

}  // namespace corvane
