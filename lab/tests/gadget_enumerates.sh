# The gadget KVM appears on the guest's USB bus as the KVM's device, with its
# vendor interface, bulk endpoints and device node, answers the two session
# requests and stalls any other. Told to refuse resets, it never reports one
# finished. Stopped, it unplugs and leaves no configfs tree behind.
modprobe -a dummy_hcd libcomposite usb_f_fs

start_gadget() {
  rm -f /tmp/gadget.ready
  "$LAB_BIN/gadget-kvm" --ready /tmp/gadget.ready "$@" &
  gadget=$!
  lab_wait_for 60 "configured gadget" lab_ready /tmp/gadget.ready "$gadget"
}

stop_gadget() {
  lab_stop "$gadget"
  lab_wait_for 30 "unplug of $device" test ! -e "$device"
  [ ! -e /sys/kernel/config/usb_gadget/kvm ] || lab_fail "the gadget's configfs tree is left behind"
}

# Prints the sysfs folder of the first interface with class ff/4a/01.
kvm_interface() {
  for interface in /sys/bus/usb/devices/*:*; do
    [ "$(cat "$interface/bInterfaceClass")/$(cat "$interface/bInterfaceSubClass")/$(cat "$interface/bInterfaceProtocol")" = ff/4a/01 ] &&
      echo "$interface" && return 0
  done
  return 1
}

# Waits for the KVM's interface, then sets interface, device (their sysfs
# folders), node (the usbfs device node) and number (the interface number).
find_kvm() {
  lab_wait_for 30 "interface ff/4a/01 on the bus" kvm_interface >/dev/null
  interface=$(kvm_interface)
  device=${interface%:*}
  node=$(printf '/dev/bus/usb/%03d/%03d' "$(cat "$device/busnum")" "$(cat "$device/devnum")")
  number=$(($(cat "$interface/bInterfaceNumber")))
}

# Prints each bulk endpoint as "direction/max packet size", sorted.
bulk_endpoints() {
  for endpoint in "$1"/ep_*; do
    [ "$(cat "$endpoint/type")" = Bulk ] && echo "$(cat "$endpoint/direction")/$(cat "$endpoint/wMaxPacketSize")"
  done | sort | tr '\n' ' '
}

# answer_field LINE FIELD: the state or token of one answer line.
answer_field() {
  echo "$answers" | sed -n "$1p" | sed -n "s/.*$2=\([^ ]*\).*/\1/p"
}

start_gadget
find_kvm
lab_expect "product string" "$(cat "$device/product")" "Tarvek USB Emulation Device"
lab_expect "vendor:product" "$(cat "$device/idVendor"):$(cat "$device/idProduct")" "1d6b:0104"
lab_expect "speed" "$(cat "$device/speed")" 480
lab_expect "bulk endpoints" "$(bulk_endpoints "$interface")" "in/0200 out/0200 "
[ -c "$node" ] || lab_fail "no device node $node"
echo "ok: device node $node"

answers=$("$LAB_BIN/usb-session-request" "$node" "$number" reset status status)
echo "$answers"
lab_expect "state after the reset" "$(answer_field 2 state)" 1
lab_expect "token of the status" "$(answer_field 2 token)" "$(answer_field 1 token)"
lab_expect "token of the second status" "$(answer_field 3 token)" "$(answer_field 1 token)"
first_token=$(answer_field 1 token)
answers=$("$LAB_BIN/usb-session-request" "$node" "$number" reset)
[ "$(answer_field 1 token)" != "$first_token" ] || lab_fail "a second reset kept the token $first_token"
echo "ok: a second reset takes a new token"
if "$LAB_BIN/usb-session-request" "$node" "$number" 0x42 2>/tmp/unknown.err; then
  lab_fail "an unknown vendor request was answered"
fi
lab_expect "answer to an unknown vendor request" "$(cat /tmp/unknown.err)" \
  "usb-session-request: 0x42: LIBUSB_ERROR_PIPE"
stop_gadget

start_gadget --refuse-reset
find_kvm
answers=$("$LAB_BIN/usb-session-request" "$node" "$number" reset status status status)
echo "$answers"
lab_expect "states while refusing" "$(answer_field 2 state) $(answer_field 3 state) $(answer_field 4 state)" "0 0 0"
stop_gadget
