# `corvane --install-linux-access`, run as root the way sudo runs it, on a
# guest with a real systemd-udevd and the distribution's rules: the rule it
# writes makes udev tag the KVM's USB device (and no other) with "uaccess",
# the trigger applies it to the KVM already plugged in, and udev's uaccess
# step then gives the seat's active user an ACL on the device node, so that
# the user, refused before, connects afterwards, and again after a replug.
# The capture helper it installs (0750, group corvane-capture, file
# capability CAP_SYS_ADMIN) captures for the user it added to the group,
# and not for the same user without that group.
# What stands in: systemd-logind does not run in the guest; its seat file
# /run/systemd/seats/seat0 names the user as the seat's active one, which is
# all that udev's uaccess step reads from it. /etc and /usr/local get
# guest-private writable layers, since the installer writes there.
build=${LAB_BIN%/lab}
corvane=$build/bin/corvane
check=$LAB_BIN/usb-transport-check
udevd=/lib/systemd/systemd-udevd
for program in "$corvane" "$check" "$udevd" "$LAB_BIN/gadget-kvm" "$LAB_BIN/scanwell-load-check"; do
  [ -x "$program" ] || lab_fail "$program is not built or installed"
done
label="Tarvek USB Emulation Device (1d6b:0104)"
rule=/etc/udev/rules.d/70-corvane.rules
helper=/usr/local/libexec/scanwell-helper
store=/tmp/approved-kvms
uid=2000

# writable DIR: a tmpfs layer over DIR, seen only by this guest.
writable() {
  layer=/tmp/layers/$(echo "$1" | tr / _)
  mkdir -p "$layer/upper" "$layer/work"
  mount -t overlay overlay -o "lowerdir=$1,upperdir=$layer/upper,workdir=$layer/work" "$1"
}
writable /etc
writable /usr/local
useradd -u $uid -M -d /tmp kvmuser
mkdir -p /run/systemd/seats
printf 'ACTIVE=c1\nACTIVE_UID=%s\n' $uid >/run/systemd/seats/seat0

modprobe -a dummy_hcd libcomposite usb_f_fs virtio_gpu
lab_wait_for 30 "DRM device" test -c /dev/dri/card0
"$udevd" --daemon
udevadm trigger --action=add
udevadm settle --timeout=60

start_gadget() {
  rm -f /tmp/gadget.ready
  "$LAB_BIN/gadget-kvm" --ready /tmp/gadget.ready 2>"$LAB_RESULTS/gadget.log" &
  gadget=$!
  lab_wait_for 60 "configured gadget" lab_ready /tmp/gadget.ready "$gadget"
  udevadm settle --timeout=60
  node=$(lab_kvm_node)
  sed -n 's/^gadget-kvm: fingerprint //p' "$LAB_RESULTS/gadget.log" >"$store"
  chmod 0644 "$store"
}

# user_connects EXPECTED: the user's connection attempt has the outcome EXPECTED.
user_connects() {
  /usr/bin/setpriv --reuid=$uid --regid=$uid --clear-groups "$check" "$store" >/tmp/check.log 2>&1 || true
  cat /tmp/check.log
  lab_expect "the user's attempt" "$(head -n 1 /tmp/check.log)" "$1"
}

# tags NODE: udev's tags of the device behind NODE.
tags() {
  udevadm info -q property -n "$1" | sed -n 's/^TAGS=//p'
}

echo "== before the installation"
start_gadget
case "$(tags "$node")" in *:uaccess:*) lab_fail "the KVM is tagged uaccess before the rule" ;; esac
user_connects "connect failed: permission denied opening the KVM; install the USB access rule and reconnect it"

echo "== corvane --install-linux-access under sudo"
SUDO_UID=$uid "$corvane" --install-linux-access >/tmp/install.log 2>&1 ||
  { cat /tmp/install.log; lab_fail "--install-linux-access failed"; }
cat /tmp/install.log
lab_expect "installer's output" "$(cat /tmp/install.log)" \
  "added kvmuser to corvane-capture; capture starts after kvmuser logs in again"
lab_expect "rule file" "$(stat -c '%a %U %s' "$rule")" "644 root $(wc -c <"$rule")"
lab_expect "rule's last line" "$(tail -n 1 "$rule")" \
  'SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ENV{ID_USB_INTERFACES}=="*:ff4a01:*", TAG+="uaccess"'
udevadm settle --timeout=60
udevadm info -q property -n "$node" | grep -E '^(ID_USB_INTERFACES|TAGS|CURRENT_TAGS)='
case "$(tags "$node")" in
  *:uaccess:*) echo "ok: the KVM's device is tagged uaccess" ;;
  *) lab_fail "the trigger left the KVM untagged" ;;
esac
case "$(tags /dev/bus/usb/001/001)" in
  *:uaccess:*) lab_fail "the root hub is tagged uaccess too" ;;
  *) echo "ok: the root hub is not tagged" ;;
esac
lab_expect "the node's own mode and owner" "$(stat -c '%a %U' "$node")" "664 root"
fingerprint=$(cat "$store")
user_connects "connected: $label fingerprint=$fingerprint terminal=1 files=0"

echo "== plugged in again"
lab_stop "$gadget"
start_gadget
user_connects "connected: $label fingerprint=$fingerprint terminal=1 files=0"
lab_stop "$gadget"

echo "== the capture helper"
lab_expect "helper" "$(stat -c '%a %U %G' "$helper")" "750 root corvane-capture"
lab_expect "helper's capability" "$(getcap "$helper")" "$helper cap_sys_admin=ep"
id kvmuser
"$LAB_BIN/kms-desktop" --ready /tmp/desktop.ready Virtual-1 &
desktop=$!
lab_wait_for 60 "lit desktop" lab_ready /tmp/desktop.ready "$desktop"
/usr/bin/setpriv --reuid=$uid --regid=$uid --init-groups --inh-caps=-all \
  "$LAB_BIN/scanwell-load-check" "$helper" 20 >/tmp/capture.log 2>&1 ||
  { cat /tmp/capture.log; lab_fail "the user in corvane-capture cannot capture"; }
cat /tmp/capture.log
# The same user in a session from before the group membership: the seat
# still lets it open the display, but the helper is not its to run.
if /usr/bin/setpriv --reuid=$uid --regid=$uid --clear-groups \
  "$LAB_BIN/scanwell-load-check" "$helper" 1 >/tmp/outsider.log 2>&1; then
  lab_fail "the user outside corvane-capture started the helper"
fi
cat /tmp/outsider.log
grep -q "cannot start the capture helper $helper: Permission denied" /tmp/outsider.log ||
  lab_fail "the outsider failed for another reason"
lab_stop "$desktop"
