#pragma once
// A file this service created for a dropped file. It is removed when
// dropped unless it was kept, so that an abandoned transfer, or one that a
// session's end cuts short, leaves nothing half-written behind.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "error.hpp"
#include "system/unique_fd.hpp"

namespace corvane {

class CreatedFile {
 public:
  // The outcome of one creation attempt; exists tells a taken name apart.
  struct Attempt;

  // Creates name in the folder of folder_fd, exclusively and without
  // following a symbolic link, write-only, mode 0666 less the umask.
  static Attempt create(int folder_fd, const std::filesystem::path& folder,
                        const std::string& name);

  CreatedFile(CreatedFile&&) noexcept = default;
  // Assigning over an open file would close it without removing it.
  CreatedFile& operator=(CreatedFile&&) = delete;
  ~CreatedFile() { discard(); }

  const std::filesystem::path& path() const { return path_; }
  Result<> write(std::span<const uint8_t> bytes);
  // Closes the file and leaves it in place.
  void keep();
  // Closes and removes the file; a failure to remove it is ignored.
  void discard();

 private:
  CreatedFile(UniqueFd folder, UniqueFd file, std::filesystem::path path, std::string name);

  UniqueFd folder_;
  UniqueFd file_;
  std::filesystem::path path_;
  std::string name_;
};

struct CreatedFile::Attempt {
  enum class Kind { created, exists, failed };
  Kind kind = Kind::failed;
  std::optional<CreatedFile> file;
  // With failed: the system's text.
  std::string error;
};

}  // namespace corvane
