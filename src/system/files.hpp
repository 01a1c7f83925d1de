#pragma once
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"

namespace corvane {

// Reads a whole file. A failure carries errno (so a missing file can be told
// apart) and the system's text.
struct ReadFailure {
  int error_number;
  std::string message;
};
std::expected<std::string, ReadFailure> read_whole_file(const std::filesystem::path& path);

// Writes all of bytes, continuing after partial and interrupted writes.
Result<> write_all(int fd, std::span<const uint8_t> bytes);

// Writes content to temporary_path (created or truncated with mode, less
// the umask), flushes it to disk and renames it over path, so readers see
// either the old file or the new one. The temporary file is removed when
// anything fails.
Result<> replace_file(const std::filesystem::path& path,
                      const std::filesystem::path& temporary_path, std::string_view content,
                      mode_t mode = 0666);

}  // namespace corvane
