#pragma once
// A private mount namespace whose /dev holds only a fake /dev/dri, so the
// real helper can be started without touching the machine's devices:
//   /dev/dri/card0, /dev/dri/renderD128      plain files (no DRM behind them)
//   /dev/dri/by-path/pci-0000:00:02.0-render a link to ../renderD128

namespace scanwell_test {

// Whether this machine lets the tests make such a namespace (root, or
// unprivileged mount namespaces). Checked once, in a child process.
bool fake_dri_available();

// Moves the calling process into a new namespace with the fake /dev.
// For a forked child only: it changes the process's view of /dev for good.
// Uses system calls alone, so it is safe between fork and exec.
bool enter_fake_dri();

}  // namespace scanwell_test
