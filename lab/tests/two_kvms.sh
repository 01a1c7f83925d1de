# Two KVMs at once: dummy_hcd with two controllers, a gadget KVM on each,
# with their own keys. The first is another product ("Other KVM"), the
# second the Tarvek one, so the listing names the Tarvek KVM second.
# corvane's transport tries the Tarvek KVM first all the same: with neither
# approved, both get session.close with reason 3 and the outcome names the
# other KVM, the last one tried; with only the other approved, the Tarvek
# KVM is refused and the other one connected; with both approved, the
# Tarvek KVM is connected. A user who may open only the Tarvek KVM, not
# approved, is told to install the access rule.
modprobe -a libcomposite usb_f_fs
modprobe dummy_hcd num=2
check=$LAB_BIN/usb-transport-check
store=/tmp/approved-kvms
other_label="Other KVM (1d6b:0104)"
tarvek_label="Tarvek USB Emulation Device (1d6b:0104)"

# start_gadget NAME UDC PRODUCT SEED: a gadget KVM logging to NAME.log;
# sets pid and fingerprint.
start_gadget() {
  rm -f "/tmp/$1.ready"
  "$LAB_BIN/gadget-kvm" --name "$1" --udc "$2" --product "$3" --key-seed "$4" \
    --ready "/tmp/$1.ready" 2>"$LAB_RESULTS/$1.log" &
  pid=$!
  lab_wait_for 60 "configured gadget $1" lab_ready "/tmp/$1.ready" "$pid"
  fingerprint=$(sed -n 's/^gadget-kvm: fingerprint //p' "$LAB_RESULTS/$1.log")
}

# closes NAME: how many session.close frames with reason 3 the gadget NAME got.
closes() {
  grep -c "^gadget-kvm: payload 0\.4 03$" "$LAB_RESULTS/$1.log" || true
}

# run_check EXPECTED: the check's first line must be EXPECTED.
run_check() {
  "$check" "$store" >/tmp/check.log 2>&1 || true
  cat /tmp/check.log
  lab_expect "outcome" "$(head -n 1 /tmp/check.log)" "$1"
}

start_gadget other dummy_udc.0 "Other KVM" 2
other=$pid other_fp=$fingerprint
start_gadget tarvek dummy_udc.1 "Tarvek USB Emulation Device" 3
tarvek=$pid tarvek_fp=$fingerprint
[ "$other_fp" != "$tarvek_fp" ] || lab_fail "both KVMs have the fingerprint $other_fp"

echo "== the listing"
for device in /sys/bus/usb/devices/*; do
  [ -f "$device/product" ] && echo "$(basename "$device"): $(cat "$device/product")"
done | grep -v 'host controller' | tee /tmp/listing
lab_expect "devices in listing order" "$(cut -d ' ' -f 2- /tmp/listing | tr '\n' '/')" \
  "Other KVM/Tarvek USB Emulation Device/"

echo "== neither approved"
: >"$store"
run_check "connect failed: the KVM $other_fp is not approved on this computer"
lab_wait_for 30 "session.close to the Tarvek KVM" [ "$(closes tarvek)" = 1 ]
lab_wait_for 30 "session.close to the other KVM" [ "$(closes other)" = 1 ]
echo "ok: both KVMs got session.close with reason 3"

echo "== only the other KVM approved"
echo "$other_fp" >"$store"
run_check "connected: $other_label fingerprint=$other_fp terminal=1 files=0"
lab_wait_for 30 "session.close to the Tarvek KVM" [ "$(closes tarvek)" = 2 ]
lab_expect "session.close to the other KVM" "$(closes other)" 1

echo "== both approved"
printf '%s\n%s\n' "$other_fp" "$tarvek_fp" >"$store"
run_check "connected: $tarvek_label fingerprint=$tarvek_fp terminal=1 files=0"
lab_expect "hellos to the other KVM" "$(grep -c '^gadget-kvm: received 0\.1 ' "$LAB_RESULTS/other.log")" 2

echo "== an ordinary user who may open only the Tarvek KVM, which it has not approved"
# A refusal for permission outweighs a KVM that is not approved: the user
# is asked for access, since the KVM it cannot open may be the approved one.
chmod 0644 "$store"
device=/sys/bus/usb/devices/2-1
chmod 0666 "$(printf '/dev/bus/usb/%03d/%03d' "$(cat "$device/busnum")" "$(cat "$device/devnum")")"
echo "$other_fp" >"$store"
/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups "$check" "$store" >/tmp/check.log 2>&1 || true
cat /tmp/check.log
lab_expect "outcome" "$(head -n 1 /tmp/check.log)" \
  "connect failed: permission denied opening the KVM; install the USB access rule and reconnect it"
lab_wait_for 30 "session.close to the Tarvek KVM" [ "$(closes tarvek)" = 3 ]

lab_stop "$tarvek"
lab_stop "$other"
