#include "services/file_drop/created_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "system/files.hpp"

namespace corvane {

CreatedFile::Attempt CreatedFile::create(int folder_fd, const std::filesystem::path& folder,
                                         const std::string& name) {
  using Kind = Attempt::Kind;
  // Created relative to the folder's descriptor, so the name can only ever
  // land in that folder; a symbolic link of that name counts as taken.
  UniqueFd file(::openat(folder_fd, name.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!file) {
    if (errno == EEXIST) return {Kind::exists, std::nullopt, {}};
    return {Kind::failed, std::nullopt, os_error_text(errno)};
  }
  UniqueFd own_folder(::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0));
  if (!own_folder) {
    int error = errno;
    ::unlinkat(folder_fd, name.c_str(), 0);
    return {Kind::failed, std::nullopt, os_error_text(error)};
  }
  return {Kind::created,
          CreatedFile(std::move(own_folder), std::move(file), folder / name, name), {}};
}

CreatedFile::CreatedFile(UniqueFd folder, UniqueFd file, std::filesystem::path path,
                         std::string name)
    : folder_(std::move(folder)),
      file_(std::move(file)),
      path_(std::move(path)),
      name_(std::move(name)) {}

Result<> CreatedFile::write(std::span<const uint8_t> bytes) {
  return write_all(file_.get(), bytes);
}

void CreatedFile::keep() {
  file_.reset();
  folder_.reset();
}

void CreatedFile::discard() {
  if (!file_) return;
  file_.reset();
  ::unlinkat(folder_.get(), name_.c_str(), 0);
  folder_.reset();
}

}  // namespace corvane
