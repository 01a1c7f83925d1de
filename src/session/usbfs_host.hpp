#pragma once
// The USB host facility on the kernel's own interfaces: the listing from
// sysfs, and each device through its usbfs node, which this program opens
// itself so that a refusal for lack of permission stays visible; libusb then
// drives the open node.
#include <filesystem>

#include "session/usb_host.hpp"

namespace corvane {

class UsbfsHost final : public UsbHost {
 public:
  // root is "/" in production; tests point it at a fixture tree.
  explicit UsbfsHost(std::filesystem::path root = "/") : root_(std::move(root)) {}

  Result<std::vector<UsbDeviceInfo>> list_devices() override;
  std::expected<std::unique_ptr<UsbDevice>, UsbOpenError> open(uint8_t bus_number,
                                                                 uint8_t address) override;

 private:
  std::filesystem::path root_;
};

}  // namespace corvane
