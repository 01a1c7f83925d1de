#include "confinement.hpp"

#include <seccomp.h>
#include <sys/capability.h>
#include <sys/prctl.h>

#include <array>
#include <cstring>
#include <memory>

#include "helper_log.hpp"

namespace scanwell {

namespace {

struct CapFree {
  void operator()(_cap_struct* caps) const { cap_free(caps); }
};

struct SeccompRelease {
  void operator()(void* filter) const { seccomp_release(filter); }
};

// DMA_BUF_IOCTL_SYNC, the one non-DRM ioctl: brackets CPU reads of a cursor.
constexpr scmp_datum_t dma_buf_ioctl_sync = 0x40086200;
// Every request of the DRM ioctl type 'd'.
constexpr scmp_datum_t drm_ioctl_type_mask = 0xFF00;
constexpr scmp_datum_t drm_ioctl_type = 0x6400;

constexpr std::array allowed_syscalls = {
    SCMP_SYS(read),        SCMP_SYS(write),      SCMP_SYS(close),      SCMP_SYS(sendto),
    SCMP_SYS(sendmsg),     SCMP_SYS(recvfrom),   SCMP_SYS(mmap),       SCMP_SYS(munmap),
    SCMP_SYS(brk),         SCMP_SYS(fstat),      SCMP_SYS(newfstatat), SCMP_SYS(fcntl),
    SCMP_SYS(exit_group),  SCMP_SYS(exit),       SCMP_SYS(rt_sigreturn), SCMP_SYS(clock_gettime),
};

bool set_sys_admin_only() {
  std::unique_ptr<_cap_struct, CapFree> caps(cap_init());
  if (!caps) {
    helper_perror("cap_init failed");
    return false;
  }
  cap_value_t sys_admin = CAP_SYS_ADMIN;
  if (cap_set_flag(caps.get(), CAP_PERMITTED, 1, &sys_admin, CAP_SET) != 0 ||
      cap_set_flag(caps.get(), CAP_EFFECTIVE, 1, &sys_admin, CAP_SET) != 0) {
    helper_perror("cap_set_flag failed");
    return false;
  }
  if (cap_set_proc(caps.get()) != 0) {
    helper_perror("cap_set_proc failed");
    return false;
  }
  return true;
}

bool add_rules(scmp_filter_ctx filter) {
  for (int syscall : allowed_syscalls) {
    int result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, syscall, 0);
    if (result < 0) {
      helper_log("seccomp_rule_add failed: %s", std::strerror(-result));
      return false;
    }
  }
  int result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1,
                                SCMP_A1(SCMP_CMP_MASKED_EQ, drm_ioctl_type_mask, drm_ioctl_type));
  if (result < 0) {
    helper_log("seccomp ioctl rule failed: %s", std::strerror(-result));
    return false;
  }
  result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(ioctl), 1, SCMP_A1(SCMP_CMP_EQ, dma_buf_ioctl_sync));
  if (result < 0) {
    helper_log("seccomp dma-buf ioctl rule failed: %s", std::strerror(-result));
    return false;
  }
  return true;
}

bool load_filter() {
  std::unique_ptr<void, SeccompRelease> filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
  if (!filter) {
    helper_log("seccomp_init failed");
    return false;
  }
  if (!add_rules(filter.get())) return false;
  int result = seccomp_load(filter.get());
  if (result < 0) {
    helper_log("seccomp_load failed: %s", std::strerror(-result));
    return false;
  }
  return true;
}

}  // namespace

bool forbid_new_privileges() {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    helper_perror("prctl(PR_SET_NO_NEW_PRIVS)");
    return false;
  }
  return true;
}

bool keep_only_sys_admin() {
  if (!set_sys_admin_only()) {
    helper_log("refusing to run: could not drop capabilities");
    return false;
  }
  helper_log("dropped caps, keeping CAP_SYS_ADMIN");
  return true;
}

bool install_seccomp_filter() {
  if (!load_filter()) {
    helper_log("refusing to run: could not install seccomp filter");
    return false;
  }
  helper_log("seccomp filter installed");
  return true;
}

}  // namespace scanwell
