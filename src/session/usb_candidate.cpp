#include "session/usb_candidate.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace corvane {
namespace {

constexpr uint8_t kvm_interface_class = 0xff;
constexpr uint8_t kvm_interface_subclass = 0x4a;
constexpr uint8_t kvm_interface_protocol = 0x01;
constexpr std::string_view preferred_product = "Tarvek USB Emulation Device";

bool is_kvm_interface(const UsbInterfaceInfo& interface) {
  return interface.class_code == kvm_interface_class &&
         interface.subclass == kvm_interface_subclass &&
         interface.protocol == kvm_interface_protocol;
}

std::string candidate_label(const UsbDeviceInfo& device) {
  char ids[16];
  std::snprintf(ids, sizeof ids, " (%04x:%04x)", device.vendor_id, device.product_id);
  return device.product.value_or("unknown KVM") + ids;
}

bool is_preferred(const UsbCandidate& candidate) { return candidate.product == preferred_product; }

}  // namespace

std::vector<UsbCandidate> find_candidates(std::span<const UsbDeviceInfo> devices) {
  std::vector<UsbCandidate> candidates;
  for (const auto& device : devices) {
    auto match = std::ranges::find_if(device.interfaces, is_kvm_interface);
    if (match == device.interfaces.end()) continue;
    candidates.push_back({device.bus_number, device.address, device.vendor_id, device.product_id,
                          device.product, match->number, candidate_label(device)});
  }
  std::ranges::stable_partition(candidates, is_preferred);
  return candidates;
}

}  // namespace corvane
