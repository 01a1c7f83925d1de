#pragma once
// The helper and the library own descriptors exactly as the service does.
#include "../../src/system/unique_fd.hpp"

namespace scanwell {

using ScopedFd = corvane::UniqueFd;

}  // namespace scanwell
