#include "session/receive_buffer.hpp"

#include <cstring>

namespace corvane {

void ReceiveBuffer::append(std::span<const uint8_t> data) {
  size_t unread = size();
  if (start_ > 0 && start_ >= unread) {
    std::memmove(storage_.data(), storage_.data() + start_, unread);
    storage_.resize(unread);
    start_ = 0;
  }
  storage_.insert(storage_.end(), data.begin(), data.end());
}

}  // namespace corvane
