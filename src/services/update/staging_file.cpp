#include "services/update/staging_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "system/files.hpp"

namespace corvane {

Result<StagingFile> StagingFile::open(const std::filesystem::path& path) {
  std::error_code error;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), error);
  if (error) return fail(error.message());
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file) return fail(os_error_text(errno));
  return StagingFile(std::move(file), path);
}

StagingFile::StagingFile(UniqueFd file, std::filesystem::path path)
    : file_(std::move(file)), path_(std::move(path)), owned_(true) {}

StagingFile::StagingFile(StagingFile&& other) noexcept
    : file_(std::move(other.file_)),
      path_(std::move(other.path_)),
      owned_(std::exchange(other.owned_, false)) {}

StagingFile& StagingFile::operator=(StagingFile&& other) noexcept {
  if (this == &other) return *this;
  remove();
  file_ = std::move(other.file_);
  path_ = std::move(other.path_);
  owned_ = std::exchange(other.owned_, false);
  return *this;
}

Result<> StagingFile::write(std::span<const uint8_t> bytes) { return write_all(file_.get(), bytes); }

Result<> StagingFile::flush_and_close() {
  int synced;
  do {
    synced = ::fsync(file_.get());
  } while (synced != 0 && errno == EINTR);
  int error = synced == 0 ? 0 : errno;
  // A close cut short by a signal has still released the descriptor.
  if (::close(file_.release()) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error != 0) return fail(os_error_text(error));
  return {};
}

void StagingFile::release() {
  file_.reset();
  owned_ = false;
}

void StagingFile::remove() {
  file_.reset();
  if (!owned_) return;
  owned_ = false;
  ::unlink(path_.c_str());
}

}  // namespace corvane
