#pragma once
#include <string>

#include "failure.hpp"

namespace scanwell {

// The first card under /dev/dri (card0, card1 ... in number order) that has
// display controllers.
Outcome<std::string> choose_device();

}  // namespace scanwell
