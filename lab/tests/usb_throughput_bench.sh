# Benchmark: bulk OUT throughput through the gadget KVM of a plain usbfs
# loop against corvane's send_access_unit, side by side in seven interleaved
# rounds (goal: median ratio >= 0.9), and the plain loop again with four IN
# reads outstanding, as corvane keeps them, and with each piece copied into
# a new buffer, as corvane's asynchronous transfers do.
# The figures are printed; only a run that cannot complete fails.
modprobe -a dummy_hcd libcomposite usb_f_fs
store=/tmp/approved-kvms
rm -f /tmp/gadget.ready
"$LAB_BIN/gadget-kvm" --ready /tmp/gadget.ready --no-digest 2>"$LAB_RESULTS/gadget.log" &
gadget=$!
lab_wait_for 60 "configured gadget" lab_ready /tmp/gadget.ready "$gadget"
sed -n 's/^gadget-kvm: fingerprint //p' "$LAB_RESULTS/gadget.log" >"$store"

for interface in /sys/bus/usb/devices/*:*; do
  [ "$(cat "$interface/bInterfaceClass")/$(cat "$interface/bInterfaceSubClass")/$(cat "$interface/bInterfaceProtocol")" = ff/4a/01 ] && break
done
device=${interface%:*}
node=$(printf '/dev/bus/usb/%03d/%03d' "$(cat "$device/busnum")" "$(cat "$device/devnum")")
# bulk_endpoint DIRECTION: its address, which the controller chose itself.
bulk_endpoint() {
  for endpoint in "$interface"/ep_*; do
    [ "$(cat "$endpoint/type")/$(cat "$endpoint/direction")" = "Bulk/$1" ] &&
      echo "0x$(cat "$endpoint/bEndpointAddress")" && return 0
  done
  lab_fail "no bulk $1 endpoint"
}
"$LAB_BIN/usb-throughput-bench" "$store" "$node" "$(cat "$interface/bInterfaceNumber")" \
  "$(bulk_endpoint out)" "$(bulk_endpoint in)" 4 7
lab_stop "$gadget"
