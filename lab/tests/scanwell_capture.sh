# libscanwell with the real scanwell-helper on virtio-gpu: while kms-desktop
# shows its test pattern on Virtual-1 and Virtual-2 and its cursor on
# Virtual-1, scanwell-lab-check lists the displays, grabs each one's
# scan-out as a DMA-BUF and compares every pixel and the cursor image with
# what kms-desktop painted. It runs twice: as root, and as an ordinary user
# with the helper installed the way corvane installs it (CAP_SYS_ADMIN as a
# file capability), so the capability drop and the seccomp filter hold on
# the real device. Last, a context watching Virtual-1 must notice that
# Virtual-2 was unplugged (only the kernel's hotplug event tells) and that
# Virtual-1 got another mode (no event comes; its CRTC tells).
build=${LAB_BIN%/lab}
check=$build/tests/scanwell-lab-check
helper=$build/lib/corvane/scanwell-helper
for program in "$check" "$helper" "$LAB_BIN/kms-desktop"; do
  [ -x "$program" ] || lab_fail "$program is not built (cmake --build $build)"
done

modprobe virtio_gpu
lab_wait_for 30 "DRM device" test -c /dev/dri/card0
echo on >/sys/class/drm/card0-Virtual-2/status
"$LAB_BIN/kms-desktop" --ready /tmp/desktop.ready --cursor 100,200 Virtual-1 Virtual-2:1024x768 &
desktop=$!
lab_wait_for 60 "lit desktop" lab_ready /tmp/desktop.ready "$desktop"

echo "== as root, helper from the build tree"
"$check" "$helper" 100,200 Virtual-1 Virtual-2 >/tmp/root.log 2>&1 || { cat /tmp/root.log; lab_fail "capture as root"; }
cat /tmp/root.log

echo "== as user 65534, helper with the file capability"
mkdir /tmp/libexec
cp "$helper" /tmp/libexec/scanwell-helper
chmod 0755 /tmp/libexec/scanwell-helper
setcap cap_sys_admin+ep /tmp/libexec/scanwell-helper
chmod 0666 /dev/dri/card0
/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
  "$check" /tmp/libexec/scanwell-helper 100,200 Virtual-1 Virtual-2 >/tmp/user.log 2>&1 ||
  { cat /tmp/user.log; lab_fail "capture as an ordinary user"; }
cat /tmp/user.log
grep -q "scanwell-helper: dropped caps, keeping CAP_SYS_ADMIN" /tmp/user.log ||
  lab_fail "the helper did not keep CAP_SYS_ADMIN"

# watch WHAT: scanwell-lab-check watching Virtual-1 must report the change
# that the commands after this call make.
watch() {
  rm -f /tmp/watch.ready
  "$check" --watch Virtual-1 /tmp/watch.ready >/tmp/watch.log 2>&1 &
  watcher=$!
  watch_what=$1
  lab_wait_for 60 "watching context" lab_ready /tmp/watch.ready "$watcher"
}
watched() {
  wait "$watcher" || { cat /tmp/watch.log; lab_fail "$watch_what went unnoticed"; }
  grep "^ok:" /tmp/watch.log
}

echo "== Virtual-2 unplugged, announced by a hotplug event"
# Forcing the status through sysfs sends no event on this kernel; the
# synthetic change event stands in for the hotplug interrupt of a monitor.
watch "the unplug of Virtual-2"
echo off >/sys/class/drm/card0-Virtual-2/status
echo change >/sys/class/drm/card0/uevent
watched

echo "== Virtual-1 set to another mode, without any event"
watch "the mode change of Virtual-1"
lab_stop "$desktop"
rm /tmp/desktop.ready
"$LAB_BIN/kms-desktop" --ready /tmp/desktop.ready Virtual-1:1024x768 &
desktop=$!
lab_wait_for 60 "lit desktop" lab_ready /tmp/desktop.ready "$desktop"
watched

lab_stop "$desktop"
