#pragma once
#include <filesystem>
#include <string_view>

#include "error.hpp"

namespace corvane::lab {

// Writes text to a configfs or sysfs attribute in one write, which is how
// the kernel expects to receive it.
Result<> write_attribute(const std::filesystem::path& path, std::string_view text);

}  // namespace corvane::lab
