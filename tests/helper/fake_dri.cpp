#include "fake_dri.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace scanwell_test {

namespace {

bool create_file(const char* path) {
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

bool enter_fake_dri() {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") == 0 && ::mkdir("/dev/dri", 0755) == 0 &&
         ::mkdir("/dev/dri/by-path", 0755) == 0 && create_file("/dev/dri/card0") &&
         create_file("/dev/dri/renderD128") &&
         ::symlink("../renderD128", "/dev/dri/by-path/pci-0000:00:02.0-render") == 0;
}

bool fake_dri_available() {
  static const bool available = [] {
    pid_t child = ::fork();
    if (child == 0) ::_exit(enter_fake_dri() ? 0 : 1);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }();
  return available;
}

}  // namespace scanwell_test
