#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

namespace corvane::lab {

// The KVM's vendor interface: class 0xff, subclass 0x4a, protocol 0x01.
inline constexpr uint8_t kvm_interface_class = 0xff;
inline constexpr uint8_t kvm_interface_subclass = 0x4a;
inline constexpr uint8_t kvm_interface_protocol = 0x01;

// What FunctionFS expects first on ep0: one interface with a bulk OUT
// endpoint (ep1 on the gadget side) and a bulk IN endpoint (ep2), for full
// and high speed.
std::vector<uint8_t> kvm_function_descriptors();

// What FunctionFS expects next: the interface's name, US English only.
std::vector<uint8_t> kvm_function_strings(std::string_view interface_name);

}  // namespace corvane::lab
