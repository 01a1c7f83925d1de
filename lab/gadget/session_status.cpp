#include "session_status.hpp"

#include <algorithm>

namespace corvane::lab {

std::array<uint8_t, session_status_size> encode_session_status(const SessionStatus& status) {
  std::array<uint8_t, session_status_size> record{'T', 'R', 'K', '5'};
  record[4] = static_cast<uint8_t>(status.state);
  std::ranges::copy(status.token, record.begin() + 8);
  return record;
}

}  // namespace corvane::lab
