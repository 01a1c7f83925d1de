#pragma once
#include <cerrno>
#include <cstring>
#include <expected>
#include <string>

namespace scanwell {

// A failed library call: the negative errno the caller gets and the text
// scanwell_error gives.
struct Failure {
  int code;
  std::string message;
};

template <class T = void>
using Outcome = std::expected<T, Failure>;

inline std::unexpected<Failure> fail(int code, std::string message) {
  return std::unexpected(Failure{code, std::move(message)});
}

// The failure of a system call that just set errno: what + ": " + its text.
inline std::unexpected<Failure> fail_errno(const std::string& what) {
  int error = errno;
  return fail(-error, what + ": " + std::strerror(error));
}

}  // namespace scanwell
