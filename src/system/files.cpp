#include "system/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "system/unique_fd.hpp"

namespace corvane {

std::string os_error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  return ::strerror_r(error_number, buffer, sizeof buffer);
}

std::expected<std::string, ReadFailure> read_whole_file(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(ReadFailure{errno, os_error_text(errno)});
  std::string content;
  char buffer[16384];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(ReadFailure{errno, os_error_text(errno)});
    }
    if (got == 0) return content;
    content.append(buffer, static_cast<size_t>(got));
  }
}

Result<> write_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(os_error_text(errno));
    }
    // A file that takes nothing would keep this loop going for ever.
    if (written == 0) return fail("no bytes were written");
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  return {};
}

namespace {

Result<> write_and_rename(const std::filesystem::path& path,
                          const std::filesystem::path& temporary_path, std::string_view content,
                          mode_t mode) {
  UniqueFd fd(::open(temporary_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd) return fail(os_error_text(errno));
  auto bytes = std::span(reinterpret_cast<const uint8_t*>(content.data()), content.size());
  if (auto written = write_all(fd.get(), bytes); !written) return written;
  if (::fsync(fd.get()) != 0) return fail(os_error_text(errno));
  if (::close(fd.release()) != 0) return fail(os_error_text(errno));
  if (::rename(temporary_path.c_str(), path.c_str()) != 0) return fail(os_error_text(errno));
  return {};
}

}  // namespace

Result<> replace_file(const std::filesystem::path& path,
                      const std::filesystem::path& temporary_path, std::string_view content,
                      mode_t mode) {
  auto result = write_and_rename(path, temporary_path, content, mode);
  if (!result) ::unlink(temporary_path.c_str());
  return result;
}

}  // namespace corvane
