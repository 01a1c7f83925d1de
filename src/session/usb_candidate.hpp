#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "session/usb_host.hpp"

namespace corvane {

// One USB device that offers the KVM's vendor interface.
struct UsbCandidate {
  uint8_t bus_number = 0;
  uint8_t address = 0;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  std::optional<std::string> product;
  // The first of its interfaces that matches.
  uint8_t interface_number = 0;
  // How messages name it: "Tarvek USB Emulation Device (1d6b:0104)".
  std::string label;
};

// Devices with at least one ff/4a/01 interface, the KVM's own emulation
// device first and the rest in listing order.
std::vector<UsbCandidate> find_candidates(std::span<const UsbDeviceInfo> devices);

}  // namespace corvane
