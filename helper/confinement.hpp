#pragma once

namespace scanwell {

// Each step writes its own failure lines; false means the helper must exit.

// No exec can ever raise the helper's privileges again.
bool forbid_new_privileges();

// Permitted and effective sets become CAP_SYS_ADMIN alone (GetFB2 reports
// GEM handles only to it); everything else, inheritable included, goes.
bool keep_only_sys_admin();

// From here on the helper may only use the descriptors it holds, map
// memory and issue DRM and DMA-BUF ioctls; anything else kills it.
bool install_seccomp_filter();

}  // namespace scanwell
