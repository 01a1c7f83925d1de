#include "attribute_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "system/unique_fd.hpp"

namespace corvane::lab {

Result<> write_attribute(const std::filesystem::path& path, std::string_view text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd) return fail("open " + path.string() + ": " + os_error_text(errno));
  ssize_t written = ::write(fd.get(), text.data(), text.size());
  if (written < 0) return fail("write " + path.string() + ": " + os_error_text(errno));
  if (static_cast<size_t>(written) != text.size()) return fail("short write to " + path.string());
  return {};
}

}  // namespace corvane::lab
