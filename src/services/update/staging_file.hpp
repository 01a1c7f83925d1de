#pragma once
// The file an update package is received into, beside the program. It is
// removed when dropped unless released, so that a failed, cancelled or cut
// short transfer leaves nothing behind.
#include <cstdint>
#include <filesystem>
#include <span>

#include "error.hpp"
#include "system/unique_fd.hpp"

namespace corvane {

class StagingFile {
 public:
  // Creates the folder with its missing parents, then creates or truncates
  // the file, write-only, mode 0666 less the umask.
  static Result<StagingFile> open(const std::filesystem::path& path);

  StagingFile(StagingFile&& other) noexcept;
  StagingFile& operator=(StagingFile&& other) noexcept;
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;
  ~StagingFile() { remove(); }

  Result<> write(std::span<const uint8_t> bytes);
  // Flushes the file to the storage device and closes it; it stays owned.
  Result<> flush_and_close();
  // Closes the file and leaves it where it is, to whoever comes next.
  void release();
  // Closes and removes the file; a failure to remove it is ignored.
  void remove();

 private:
  StagingFile(UniqueFd file, std::filesystem::path path);

  UniqueFd file_;
  std::filesystem::path path_;
  bool owned_ = false;
};

}  // namespace corvane
