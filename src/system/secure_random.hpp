#pragma once
#include <cstdint>
#include <span>

#include "error.hpp"

namespace corvane {

// Fills bytes from the kernel's secure random source; the error is the
// system's text.
Result<> fill_secure_random(std::span<uint8_t> bytes);

}  // namespace corvane
