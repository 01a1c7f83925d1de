# Helpers for lab tests, sourced before each test script. A test runs with
# `set -eu` in busybox sh; its exit status is the result. Available:
#   LAB_SOURCE   the source tree        LAB_BUILD   the build tree
#   LAB_BIN      the lab's programs     LAB_RESULTS the writable results share
# TCG is slow: every wait is generous and polls rather than sleeping a fixed time.

lab_fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# lab_wait_for SECONDS WHAT COMMAND...: runs COMMAND every 0.1 s until it
# succeeds; fails the test naming WHAT once SECONDS have passed.
lab_wait_for() {
  lab_wait_seconds=$1 lab_wait_what=$2
  shift 2
  lab_wait_left=$((lab_wait_seconds * 10))
  until "$@"; do
    lab_wait_left=$((lab_wait_left - 1))
    [ "$lab_wait_left" -gt 0 ] || lab_fail "no $lab_wait_what after $lab_wait_seconds s"
    sleep 0.1
  done
}

# lab_ready FILE PID: whether the background program PID has created FILE;
# for lab_wait_for. A program that ended before doing so fails the test at once.
lab_ready() {
  [ -e "$1" ] && return 0
  kill -0 "$2" 2>/dev/null || lab_fail "process $2 ended before creating $1"
  return 1
}

# lab_expect WHAT ACTUAL EXPECTED
lab_expect() {
  [ "$2" = "$3" ] || lab_fail "$1 is '$2', expected '$3'"
  echo "ok: $1 is '$3'"
}

# Stops a background program started by the test and reaps it; a program that
# already failed makes the test fail.
lab_stop() {
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" || lab_fail "process $1 ended with status $?"
}

# lab_kvm_node: the usbfs node of the first device with a vendor-class
# interface (the gadget KVM) on the bus; fails while there is none.
lab_kvm_node() {
  for interface in /sys/bus/usb/devices/*:*; do
    [ "$(cat "$interface/bInterfaceClass" 2>/dev/null)" = ff ] || continue
    device=${interface%:*}
    printf '/dev/bus/usb/%03d/%03d\n' "$(cat "$device/busnum")" "$(cat "$device/devnum")"
    return 0
  done
  return 1
}
