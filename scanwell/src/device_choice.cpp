#include "device_choice.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <vector>

#include "drm_records.hpp"
#include "scoped_fd.hpp"

namespace scanwell {

namespace {

constexpr char dri_directory[] = "/dev/dri";

std::vector<unsigned> card_numbers() {
  std::vector<unsigned> numbers;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dri_directory, error)) {
    std::string name = entry.path().filename().string();
    if (!name.starts_with("card") || name.size() == 4) continue;
    unsigned number = 0;
    const char* end = name.data() + name.size();
    auto parsed = std::from_chars(name.data() + 4, end, number);
    if (parsed.ec == std::errc() && parsed.ptr == end) numbers.push_back(number);
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

bool has_display_controllers(const std::string& path) {
  ScopedFd device(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!device) return false;
  Resources resources{drmModeGetResources(device.get())};
  return resources && resources->count_crtcs > 0;
}

}  // namespace

Outcome<std::string> choose_device() {
  for (unsigned number : card_numbers()) {
    std::string path = std::string(dri_directory) + "/card" + std::to_string(number);
    if (has_display_controllers(path)) return path;
  }
  return fail(-ENODEV, "no DRM device with display controllers under /dev/dri");
}

}  // namespace scanwell
