# The bulk streams between corvane's transport and the gadget KVM on a real
# bus: 8 MiB access units arrive whole and in order; a write the KVM never
# reads is given up after 30 s and kills the connection, so the next read
# fails at once; an unplug in the middle of an access unit fails the write
# and the reads, and the device is then gone from the listing.
modprobe -a dummy_hcd libcomposite usb_f_fs
check=$LAB_BIN/usb-transport-check
label="Tarvek USB Emulation Device (1d6b:0104)"
store=/tmp/approved-kvms
gadget_log=$LAB_RESULTS/gadget.log
# The largest access unit: its payload (12 fixed bytes and the data) is 8 MiB.
unit=8388596
hello_bytes=60

start_gadget() {
  rm -f /tmp/gadget.ready
  "$LAB_BIN/gadget-kvm" --ready /tmp/gadget.ready "$@" 2>"$gadget_log" &
  gadget=$!
  lab_wait_for 60 "configured gadget" lab_ready /tmp/gadget.ready "$gadget"
  sed -n 's/^gadget-kvm: fingerprint //p' "$gadget_log" >"$store"
}

# run_check STEP...: the check connected; its output is in /tmp/check.log.
run_check() {
  "$check" "$store" "$@" >/tmp/check.log 2>&1 || true
  cat /tmp/check.log
  head -n 1 /tmp/check.log | grep -q "^connected: $label " || lab_fail "the check did not connect"
}

# line N: the check's output line N.
line() {
  sed -n "$1p" /tmp/check.log
}

echo "== two 8 MiB access units"
start_gadget
run_check access-unit $unit access-unit $unit
for n in 2 3; do
  digest=$(line $n | sed -n "s/^access unit $unit digest=\([0-9a-f]*\) sent in .*/\1/p")
  [ -n "$digest" ] || lab_fail "access unit $((n - 1)) was not sent"
  lab_wait_for 60 "arrival of access unit $((n - 1))" \
    grep -q "^gadget-kvm: received 1.5 length=8388608 digest=$digest\$" "$gadget_log"
  echo "ok: access unit $((n - 1)) arrived whole, digest $digest"
done
[ "$(line 2)" != "$(line 3)" ] || lab_fail "both access units carried the same bytes"
lab_stop "$gadget"

echo "== a KVM that stops reading after session.hello"
start_gadget --read-limit $hello_bytes
run_check access-unit 65536 read
line 2 | grep -q "^access unit 65536 failed in [0-9.]* s: USB session cancelled or write timed out\$" ||
  lab_fail "the unread write did not time out"
waited=$(line 2 | sed -n 's/.* failed in \([0-9]*\)\.[0-9] s: .*/\1/p')
[ "$waited" -ge 30 ] || lab_fail "the write was given up after $waited s"
echo "ok: the write was given up after $waited s"
lab_expect "the read after it" "$(line 3)" "read failed: USB session cancelled"
lab_stop "$gadget"

echo "== unplugged after 1 MiB of an access unit"
start_gadget --unplug-after $((hello_bytes + 1048576))
run_check access-unit $unit read
line 2 | grep -q "^access unit $unit failed in " || lab_fail "the write survived the unplug"
line 3 | grep -q "^read failed: " || lab_fail "the read survived the unplug"
grep -q "^gadget-kvm: unplugging after " "$gadget_log" || lab_fail "the gadget did not unplug"
"$check" "$store" >/tmp/check.log 2>&1 || true
cat /tmp/check.log
lab_expect "connecting after the unplug" "$(line 1)" "connect failed: no Corvane USB interface found"
lab_stop "$gadget"
