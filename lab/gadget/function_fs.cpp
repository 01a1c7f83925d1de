#include "function_fs.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <span>

#include "log.hpp"
#include "usb_descriptors.hpp"

namespace corvane::lab {
namespace {

Result<UniqueFd> open_endpoint(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) return fail("open " + path.string() + ": " + os_error_text(errno));
  return fd;
}

Result<> write_blob(int fd, std::span<const uint8_t> blob, std::string_view what) {
  ssize_t written = ::write(fd, blob.data(), blob.size());
  if (written < 0) return fail("write " + std::string(what) + ": " + os_error_text(errno));
  if (static_cast<size_t>(written) != blob.size())
    return fail("short write of " + std::string(what));
  return {};
}

}  // namespace

FunctionFs::Mount::~Mount() {
  if (path_.empty()) return;
  if (::umount(path_.c_str()) != 0) {
    log_line("gadget-kvm: umount " + path_.string() + ": " + os_error_text(errno));
    return;
  }
  ::rmdir(path_.c_str());
}

Result<FunctionFs> FunctionFs::start(const std::string& instance, std::string_view interface_name) {
  std::filesystem::path path = "/run/ffs-" + instance;
  if (::mkdir(path.c_str(), 0700) != 0) {
    return fail("mkdir " + path.string() + ": " + os_error_text(errno));
  }
  if (::mount(instance.c_str(), path.c_str(), "functionfs", 0, nullptr) != 0) {
    int error = errno;
    ::rmdir(path.c_str());
    return fail("mount functionfs " + instance + ": " + os_error_text(error) +
                " (is usb_f_fs loaded?)");
  }
  FunctionFs function(Mount{path});
  auto ep0 = open_endpoint(path / "ep0");
  if (!ep0) return std::unexpected(ep0.error());
  function.ep0_ = std::move(*ep0);
  if (auto done = write_blob(function.ep0(), kvm_function_descriptors(), "descriptors"); !done) {
    return std::unexpected(done.error());
  }
  if (auto done = write_blob(function.ep0(), kvm_function_strings(interface_name), "strings");
      !done) {
    return std::unexpected(done.error());
  }

  // The endpoint files appear once the descriptors are accepted.
  auto bulk_out = open_endpoint(path / "ep1");
  if (!bulk_out) return std::unexpected(bulk_out.error());
  auto bulk_in = open_endpoint(path / "ep2");
  if (!bulk_in) return std::unexpected(bulk_in.error());
  function.bulk_out_ = std::move(*bulk_out);
  function.bulk_in_ = std::move(*bulk_in);
  return function;
}

}  // namespace corvane::lab
