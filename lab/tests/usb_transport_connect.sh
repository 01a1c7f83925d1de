# corvane's transport finds the gadget KVM on the guest's real bus through
# sysfs, opens its usbfs node, resets the KVM's USB session and completes
# the signed handshake; a KVM missing from the approved store gets
# session.close and is named by its fingerprint; an ordinary user without
# access to the node is told to install the USB access rule. Frames the KVM
# sends after session.config arrive through the IN pool. Old frames queued
# in front of session.ready are skipped up to the search limit.
modprobe -a dummy_hcd libcomposite usb_f_fs
check=$LAB_BIN/usb-transport-check
label="Tarvek USB Emulation Device (1d6b:0104)"
store=/tmp/approved-kvms

start_gadget() {
  rm -f /tmp/gadget.ready
  "$LAB_BIN/gadget-kvm" --ready /tmp/gadget.ready "$@" 2>"$LAB_RESULTS/gadget.log" &
  gadget=$!
  lab_wait_for 60 "configured gadget" lab_ready /tmp/gadget.ready "$gadget"
  fingerprint=$(sed -n 's/^gadget-kvm: fingerprint //p' "$LAB_RESULTS/gadget.log")
}

stop_gadget() {
  lab_stop "$gadget"
  cat "$LAB_RESULTS/gadget.log"
}

# run_check EXPECTED [ARGS...]: the check's first line must be EXPECTED.
run_check() {
  expected=$1
  shift
  "$@" >/tmp/check.log 2>&1 || true
  cat /tmp/check.log
  lab_expect "outcome" "$(head -n 1 /tmp/check.log)" "$expected"
}

# What the KVM sends once the session is set up: video.request_keyframe
# (no payload) and a frame on channel 2, type 4 carrying "hello".
printf '\001\000\006\000\000\000\000\000\002\000\004\000\005\000\000\000hello' >/tmp/then-send

echo "== a KVM that is not approved"
start_gadget --then-send /tmp/then-send
[ -n "$fingerprint" ] || lab_fail "the gadget logged no fingerprint"
rm -f "$store"
run_check "connect failed: the KVM $fingerprint is not approved on this computer" "$check" "$store"
# session.close with reason 3, the only byte of its payload.
lab_wait_for 30 "session.close from the host" grep -q "^gadget-kvm: received 0.4 length=1 digest=af63be4c8601b992$" "$LAB_RESULTS/gadget.log"

echo "== approved"
echo "$fingerprint" >"$store"
chmod 0644 "$store"
run_check "connected: $label fingerprint=$fingerprint terminal=1 files=0" "$check" "$store" frame frame
lab_expect "first frame after session.config" "$(sed -n 2p /tmp/check.log)" \
  "frame 1.6 length=0 digest=cbf29ce484222325"
lab_expect "second frame" "$(sed -n 3p /tmp/check.log)" "frame 2.4 length=5 digest=a430d84680aabd0b"
echo "== again, on the same device: a new session"
run_check "connected: $label fingerprint=$fingerprint terminal=1 files=0" "$check" "$store"

echo "== an ordinary user, the node being root's"
run_check "connect failed: permission denied opening the KVM; install the USB access rule and reconnect it" \
  /usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups "$check" "$store"
stop_gadget

echo "== 100000 bytes of an earlier session ahead of session.ready"
start_gadget --stale-bytes 100000
echo "$fingerprint" >"$store"
run_check "connected: $label fingerprint=$fingerprint terminal=1 files=0" "$check" "$store"
stop_gadget

echo "== 140000 bytes: beyond the search limit"
start_gadget --stale-bytes 140000
echo "$fingerprint" >"$store"
run_check "connect failed: no Corvane USB interface completed the handshake: $label: the KVM's session.ready did not arrive within the search limit" \
  "$check" "$store"
stop_gadget
