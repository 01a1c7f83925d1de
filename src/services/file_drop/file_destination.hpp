#pragma once
// Where dropped files are saved: the user's Downloads folder as
// xdg-user-dirs records it, else the home folder.
#include <filesystem>
#include <optional>
#include <string_view>

namespace corvane {

// Reads user-dirs.dirs anew on every call, so a folder created or moved
// since the last call is seen. None when neither folder is a directory.
std::optional<std::filesystem::path> find_file_destination();

// The XDG_DOWNLOAD_DIR entry of a user-dirs.dirs text, read the way
// xdg-user-dirs writes it: "$HOME/<path>" or an absolute path in double
// quotes, backslash escaping the next character; the last entry counts.
std::optional<std::filesystem::path> download_dir_entry(std::string_view text,
                                                        const std::filesystem::path& home);

}  // namespace corvane
