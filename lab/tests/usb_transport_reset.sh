# The session reset through the gadget KVM's two vendor requests on a real
# bus: a KVM that never finishes its reset is given up after 15 s, and each
# final state other than "ready" (in use, cannot cancel) and a reset taken
# over by another token end the attempt with the KVM's reason.
modprobe -a dummy_hcd libcomposite usb_f_fs
check=$LAB_BIN/usb-transport-check
label="Tarvek USB Emulation Device (1d6b:0104)"
store=/tmp/approved-kvms
: >"$store"

# attempt REASON GADGET-OPTION...: connecting must fail on the reset with REASON.
attempt() {
  reason=$1
  shift
  rm -f /tmp/gadget.ready
  "$LAB_BIN/gadget-kvm" --ready /tmp/gadget.ready "$@" 2>"$LAB_RESULTS/gadget.log" &
  gadget=$!
  lab_wait_for 60 "configured gadget" lab_ready /tmp/gadget.ready "$gadget"
  "$check" "$store" >/tmp/check.log 2>&1 || true
  cat /tmp/check.log
  lab_expect "outcome with $*" "$(head -n 1 /tmp/check.log)" \
    "connect failed: no Corvane USB interface completed the handshake: $label: $reason"
  lab_stop "$gadget"
  grep -q "^gadget-kvm: session reset answered" "$LAB_RESULTS/gadget.log" || lab_fail "the gadget saw no reset"
}

started=$(cut -d' ' -f1 /proc/uptime)
attempt "the KVM did not finish resetting its USB session" --refuse-reset
waited=$(awk -v start="$started" '{ printf "%d", $1 - start }' /proc/uptime)
[ "$waited" -ge 15 ] || lab_fail "gave up on the reset after $waited s"
echo "ok: gave up on the reset after $waited s"
attempt "the KVM session is already in use" --reset-state in-use
attempt "the KVM could not cancel its USB requests; restart the KVM" --reset-state cannot-cancel
attempt "the KVM session reset was superseded" --superseded
