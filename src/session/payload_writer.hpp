#pragma once
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "session/byte_order.hpp"

namespace corvane {

// Builds a payload field by field, in layout order.
class PayloadWriter {
 public:
  explicit PayloadWriter(size_t expected_size = 0) { bytes_.reserve(expected_size); }

  PayloadWriter& u8(uint8_t value) { return put(value); }
  PayloadWriter& u16(uint16_t value) { return put(value); }
  PayloadWriter& u32(uint32_t value) { return put(value); }
  PayloadWriter& u64(uint64_t value) { return put(value); }
  PayloadWriter& bytes(std::span<const uint8_t> data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return *this;
  }
  PayloadWriter& text(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }

  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  template <class T>
  PayloadWriter& put(T value) {
    size_t at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    store_le(bytes_.data() + at, value);
    return *this;
  }

  std::vector<uint8_t> bytes_;
};

}  // namespace corvane
