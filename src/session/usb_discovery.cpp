#include "session/usb_discovery.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "system/files.hpp"

namespace corvane {
namespace {

const std::filesystem::path devices_folder = "sys/bus/usb/devices";

std::unexpected<Error> listing_error(const std::error_code& error) {
  if (error == std::errc::no_such_file_or_directory) {
    return fail("/sys/bus/usb/devices/ not found");
  }
  if (error == std::errc::permission_denied) {
    return fail("/sys/bus/usb/devices/ permission denied");
  }
  return fail("failed to open /sys/bus/usb/devices/: " + error.message());
}

// The attribute's text without the newline sysfs ends it with.
std::optional<std::string> read_attribute(const std::filesystem::path& file) {
  auto content = read_whole_file(file);
  if (!content) return std::nullopt;
  if (content->ends_with('\n')) content->pop_back();
  return std::move(*content);
}

template <class T>
std::optional<T> read_number(const std::filesystem::path& file, int base) {
  auto text = read_attribute(file);
  if (!text || text->empty()) return std::nullopt;
  T value{};
  auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value, base);
  if (error != std::errc{} || end != text->data() + text->size()) return std::nullopt;
  return value;
}

std::optional<UsbInterfaceInfo> read_interface(const std::filesystem::path& folder) {
  auto number = read_number<uint8_t>(folder / "bInterfaceNumber", 16);
  auto class_code = read_number<uint8_t>(folder / "bInterfaceClass", 16);
  auto subclass = read_number<uint8_t>(folder / "bInterfaceSubClass", 16);
  auto protocol = read_number<uint8_t>(folder / "bInterfaceProtocol", 16);
  if (!number || !class_code || !subclass || !protocol) return std::nullopt;
  return UsbInterfaceInfo{*number, *class_code, *subclass, *protocol};
}

// The product string is optional: the device may have none, and then sysfs
// has no file for it.
std::optional<std::optional<std::string>> read_product(const std::filesystem::path& folder) {
  auto content = read_whole_file(folder / "product");
  if (!content) {
    if (content.error().error_number == ENOENT) return std::optional<std::string>{};
    return std::nullopt;
  }
  if (content->ends_with('\n')) content->pop_back();
  return std::optional<std::string>{std::move(*content)};
}

std::optional<UsbDeviceInfo> read_device(const std::filesystem::path& folder) {
  auto bus_number = read_number<uint8_t>(folder / "busnum", 10);
  auto address = read_number<uint8_t>(folder / "devnum", 10);
  auto vendor_id = read_number<uint16_t>(folder / "idVendor", 16);
  auto product_id = read_number<uint16_t>(folder / "idProduct", 16);
  auto product = read_product(folder);
  if (!bus_number || !address || !vendor_id || !product_id || !product) return std::nullopt;
  return UsbDeviceInfo{*bus_number, *address, *vendor_id, *product_id, std::move(*product), {}};
}

}  // namespace

Result<std::vector<UsbDeviceInfo>> list_usb_devices(const std::filesystem::path& root) {
  const auto folder = root / devices_folder;
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  if (error) return listing_error(error);
  // Device entries are named like "1-1.2"; their interfaces like
  // "1-1.2:1.0", in the same folder.
  std::map<std::string, std::vector<std::string>> interfaces_of;
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    std::string name = entries->path().filename().string();
    auto colon = name.find(':');
    if (colon == std::string::npos) {
      interfaces_of[name];
    } else {
      interfaces_of[name.substr(0, colon)].push_back(name);
    }
  }
  if (error) return listing_error(error);

  std::vector<UsbDeviceInfo> devices;
  for (const auto& [name, interface_names] : interfaces_of) {
    auto device = read_device(folder / name);
    if (!device) continue;
    for (const auto& interface_name : interface_names) {
      if (auto interface = read_interface(folder / interface_name)) {
        device->interfaces.push_back(*interface);
      }
    }
    std::ranges::sort(device->interfaces, {}, &UsbInterfaceInfo::number);
    devices.push_back(std::move(*device));
  }
  std::ranges::sort(devices, [](const UsbDeviceInfo& a, const UsbDeviceInfo& b) {
    return std::pair(a.bus_number, a.address) < std::pair(b.bus_number, b.address);
  });
  return devices;
}

}  // namespace corvane
