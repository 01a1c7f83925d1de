#include "configfs_gadget.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <ranges>

#include "attribute_file.hpp"
#include "log.hpp"

namespace corvane::lab {
namespace {

const std::filesystem::path gadgets_root = "/sys/kernel/config/usb_gadget";

constexpr std::string_view vendor_id = "0x1d6b";
constexpr std::string_view product_id = "0x0104";

}  // namespace

Result<ConfigfsGadget> ConfigfsGadget::create(const GadgetIdentity& identity) {
  if (!std::filesystem::is_directory(gadgets_root)) {
    return fail(gadgets_root.string() + " is missing (configfs and libcomposite must be loaded)");
  }
  ConfigfsGadget gadget(gadgets_root / identity.name, identity.name);
  const auto& root = gadget.root_;
  auto function = root / "functions" / ("ffs." + identity.name);
  auto config = root / "configs" / "c.1";
  const auto strings = root / "strings" / "0x409";
  // The first failing step ends the set-up; the destructor removes what exists.
  const std::function<Result<>()> steps[] = {
      [&] { return gadget.make_directory(root); },
      [&] { return write_attribute(root / "idVendor", vendor_id); },
      [&] { return write_attribute(root / "idProduct", product_id); },
      [&] { return write_attribute(root / "bcdUSB", "0x0200"); },
      [&] { return gadget.make_directory(strings); },
      [&] { return write_attribute(strings / "manufacturer", "Tarvek"); },
      [&] { return write_attribute(strings / "product", identity.product); },
      [&] { return gadget.make_directory(config); },
      [&] { return write_attribute(config / "MaxPower", "100"); },
      [&] { return gadget.make_directory(function); },
      [&] { return gadget.make_link(function, config / function.filename()); },
  };
  for (const auto& step : steps) {
    if (auto done = step(); !done) return std::unexpected(done.error());
  }
  return gadget;
}

ConfigfsGadget::ConfigfsGadget(ConfigfsGadget&& other) noexcept
    : root_(std::move(other.root_)),
      instance_(std::move(other.instance_)),
      created_(std::exchange(other.created_, {})) {}

ConfigfsGadget::~ConfigfsGadget() {
  for (const auto& path : std::views::reverse(created_)) {
    if (::remove(path.c_str()) != 0) {
      log_line("gadget-kvm: remove " + path.string() + ": " + os_error_text(errno));
    }
  }
}

Result<> ConfigfsGadget::make_directory(const std::filesystem::path& path) {
  if (::mkdir(path.c_str(), 0755) != 0) {
    return fail("mkdir " + path.string() + ": " + os_error_text(errno));
  }
  created_.push_back(path);
  return {};
}

Result<> ConfigfsGadget::make_link(const std::filesystem::path& target,
                                   const std::filesystem::path& link) {
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    return fail("symlink " + link.string() + ": " + os_error_text(errno));
  }
  created_.push_back(link);
  return {};
}

Result<UdcBinding> UdcBinding::bind(const ConfigfsGadget& gadget, const std::string& udc) {
  auto attribute = gadget.root() / "UDC";
  if (auto done = write_attribute(attribute, udc); !done) return std::unexpected(done.error());
  return UdcBinding(std::move(attribute));
}

UdcBinding::~UdcBinding() { unplug(); }

void UdcBinding::unplug() {
  if (attribute_.empty()) return;
  if (auto done = write_attribute(std::exchange(attribute_, {}), "\n"); !done) {
    log_line("gadget-kvm: unbind: " + done.error().message);
  }
}

Result<std::string> first_udc() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/udc", error)) {
    names.push_back(entry.path().filename().string());
  }
  if (names.empty()) return fail("no USB device controller (is dummy_hcd loaded?)");
  std::ranges::sort(names);
  return names.front();
}

}  // namespace corvane::lab
