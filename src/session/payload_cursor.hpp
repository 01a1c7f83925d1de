#pragma once
#include <cstdint>
#include <span>

#include "error.hpp"
#include "session/byte_order.hpp"

namespace corvane {

inline std::unexpected<Error> fail_truncated() { return fail("message payload is truncated"); }
inline std::unexpected<Error> fail_trailing_bytes() {
  return fail("message payload has trailing bytes");
}

// Reads the fields of a payload from its front, in layout order.
class PayloadCursor {
 public:
  explicit PayloadCursor(std::span<const uint8_t> payload) : rest_(payload) {}

  Result<uint8_t> read_u8() { return read<uint8_t>(); }
  Result<uint16_t> read_u16() { return read<uint16_t>(); }
  Result<uint32_t> read_u32() { return read<uint32_t>(); }
  Result<uint64_t> read_u64() { return read<uint64_t>(); }

  // A view into the payload; it lives as long as the payload does.
  Result<std::span<const uint8_t>> read_bytes(size_t count) {
    if (rest_.size() < count) return fail_truncated();
    auto bytes = rest_.first(count);
    rest_ = rest_.subspan(count);
    return bytes;
  }

  std::span<const uint8_t> rest() const { return rest_; }

  // For layouts that end here: anything left over is an error.
  Result<void> finish() const {
    if (!rest_.empty()) return fail_trailing_bytes();
    return {};
  }

 private:
  template <class T>
  Result<T> read() {
    if (rest_.size() < sizeof(T)) return fail_truncated();
    T value = load_le<T>(rest_.data());
    rest_ = rest_.subspan(sizeof(T));
    return value;
  }

  std::span<const uint8_t> rest_;
};

}  // namespace corvane
