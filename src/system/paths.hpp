#pragma once
#include <filesystem>
#include <optional>

#include "error.hpp"

namespace corvane {

// The resolved path of the running program image.
Result<std::filesystem::path> executable_path();

// HOME when set and non-empty, else the password database's entry for the
// real user id.
std::optional<std::filesystem::path> home_dir();

// XDG_CONFIG_HOME when set, non-empty and absolute; else home_dir()/.config.
std::optional<std::filesystem::path> config_dir();

// Where the capture library and helper are installed beside the program:
// the executable's directory joined with ../lib/corvane, not normalised.
std::optional<std::filesystem::path> library_dir_beside(const std::filesystem::path& executable);

// Whether the path's components begin with the root directory and "usr"
// (so /usr/bin/../lib passes and /usrx does not).
bool is_below_usr(const std::filesystem::path& path);

}  // namespace corvane
