#pragma once
#include <cstddef>

namespace scanwell {

// Reads exactly `size` bytes, continuing after partial reads and EINTR.
// False at end of stream or on any other error.
bool recv_exact(int socket, void* buffer, std::size_t size);

// Writes every byte with MSG_NOSIGNAL, retrying EINTR. False when a send
// fails or writes nothing; the rest of the data is then abandoned.
bool send_all(int socket, const void* data, std::size_t size);

// send_all, with `descriptor` passed as SCM_RIGHTS on the first bytes.
bool send_with_descriptor(int socket, const void* data, std::size_t size, int descriptor);

}  // namespace scanwell
