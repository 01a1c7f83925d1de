#pragma once
// Every format on the KVM's USB interface is little-endian, whatever the host.
#include <concepts>
#include <cstddef>
#include <cstdint>

namespace corvane {

template <std::unsigned_integral T>
T load_le(const uint8_t* bytes) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{bytes[i]} << (8 * i));
  return value;
}

template <std::unsigned_integral T>
void store_le(uint8_t* bytes, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace corvane
