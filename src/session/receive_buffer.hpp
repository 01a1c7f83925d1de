#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace corvane {

// The bytes read from the KVM's bulk IN endpoint and not yet taken as
// frames. Taking bytes from the front only advances a start index; the
// unread rest is moved to the front when new bytes arrive and the taken
// part is at least as large as the rest, so every byte is moved a bounded
// number of times however many frames a transfer holds.
class ReceiveBuffer {
 public:
  // Invalidates every view obtained from bytes() before the call.
  void append(std::span<const uint8_t> data);

  // The unread bytes. The view stays valid until the next append.
  std::span<const uint8_t> bytes() const { return std::span(storage_).subspan(start_); }
  size_t size() const { return storage_.size() - start_; }

  // Drops count unread bytes (at most size()) from the front.
  void consume(size_t count) { start_ += count; }

 private:
  std::vector<uint8_t> storage_;
  size_t start_ = 0;
};

}  // namespace corvane
