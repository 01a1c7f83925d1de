#pragma once
// Errors are values carrying the message the user reads; nothing throws
// across a component boundary.
#include <expected>
#include <string>

namespace corvane {

struct Error {
  std::string message;
};

template <class T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected(Error{std::move(message)});
}

// The operating system's own wording for an errno value.
std::string os_error_text(int error_number);

}  // namespace corvane
