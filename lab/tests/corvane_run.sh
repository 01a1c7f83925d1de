# The real `corvane --run`, as an ordinary user (uid 1000, HOME in /tmp),
# served by the gadget KVM on the guest's bus while kms-desktop lights
# Virtual-1: the KVM approved with --approve-kvm is connected; after the
# handshake the KVM receives clipboard.state, terminal.state (following its
# session.config) and file.state in that order, then a session.info naming
# card0-Virtual-1. Unplugged, corvane logs the read error and keeps looking
# for a KVM; plugged in again, it cannot open the new device node (root's,
# as no udev runs here) and says so, and once the node is handed to the user,
# the way the access rule would, it sets up a new session. SIGTERM ends it
# with status 0 after session.close with reason 0.
# The capture helper gets its file capability as installed, so that the
# user's corvane lists the displays.
build=${LAB_BIN%/lab}
corvane=$build/bin/corvane
helper=$build/lib/corvane/scanwell-helper
for program in "$corvane" "$helper" "$LAB_BIN/gadget-kvm" "$LAB_BIN/kms-desktop"; do
  [ -x "$program" ] || lab_fail "$program is not built (cmake --build $build)"
done
corvane_log=$LAB_RESULTS/corvane.log
user=1000

modprobe -a dummy_hcd libcomposite usb_f_fs virtio_gpu
lab_wait_for 30 "DRM device" test -c /dev/dri/card0
"$LAB_BIN/kms-desktop" --ready /tmp/desktop.ready Virtual-1 &
desktop=$!
lab_wait_for 60 "lit desktop" lab_ready /tmp/desktop.ready "$desktop"
chmod 0666 /dev/dri/card0
mkdir /tmp/libexec
cp "$helper" /tmp/libexec/scanwell-helper
chmod 0755 /tmp/libexec/scanwell-helper
setcap cap_sys_admin+ep /tmp/libexec/scanwell-helper
mkdir -m 0700 /tmp/home
chown "$user:$user" /tmp/home

# as_user COMMAND...: becomes COMMAND, run as the user in the user's
# environment; call it in a subshell, whose process it replaces, so that the
# subshell's $! is COMMAND's process id.
as_user() {
  exec /usr/bin/setpriv --reuid=$user --regid=$user --clear-groups --inh-caps=-all \
    /usr/bin/env -i PATH="$PATH" HOME=/tmp/home MESA_SHADER_CACHE_DISABLE=true \
    CORVANE_SCANWELL_HELPER=/tmp/libexec/scanwell-helper "$@"
}

# The KVM's device node, once the gadget's interface is on the bus.
kvm_node() {
  for interface in /sys/bus/usb/devices/*:*; do
    [ "$(cat "$interface/bInterfaceClass" 2>/dev/null)" = ff ] || continue
    device=${interface%:*}
    printf '/dev/bus/usb/%03d/%03d\n' "$(cat "$device/busnum")" "$(cat "$device/devnum")"
    return 0
  done
  return 1
}

# start_gadget N: the gadget KVM, logging to gadget-N.log; sets node.
start_gadget() {
  gadget_log=$LAB_RESULTS/gadget-$1.log
  rm -f /tmp/gadget.ready
  "$LAB_BIN/gadget-kvm" --ready /tmp/gadget.ready 2>"$gadget_log" &
  gadget=$!
  lab_wait_for 60 "configured gadget" lab_ready /tmp/gadget.ready "$gadget"
  node=$(kvm_node)
}

# corvane_lines TEXT: how many lines of corvane's log are exactly TEXT.
corvane_lines() {
  grep -cxF "$1" "$corvane_log" || true
}

# more_lines TEXT COUNT: whether corvane's log has more than COUNT lines TEXT.
more_lines() {
  [ "$(corvane_lines "$1")" -gt "$2" ]
}

# received_ids: the channel.type of every frame the gadget received, in order.
received_ids() {
  sed -n 's/^gadget-kvm: received \([0-9]*\.[0-9]*\) .*/\1/p' "$gadget_log" | tr '\n' ' '
}

# check_session: in the current gadget's log, the handshake is followed by
# the three states in order and then a session.info naming Virtual-1.
check_session() {
  lab_wait_for 60 "session.info at the KVM" grep -q "^gadget-kvm: received 0.6 " "$gadget_log"
  ids=$(received_ids)
  echo "received: $ids"
  # The states and session.info, in the order they came; video messages
  # may come between them once the video service offers a stream.
  order=$(echo "$ids" | tr ' ' '\n' | grep -xE '0\.1|2\.1|3\.1|4\.1|0\.6' | head -n 5 | tr '\n' ' ')
  lab_expect "hello, states and session.info in order" "$order" "0.1 2.1 3.1 4.1 0.6 "
  lab_expect "terminal.state (terminal_enabled of session.config)" \
    "$(sed -n 's/^gadget-kvm: payload 3\.1 //p' "$gadget_log" | head -n 1)" 01000000
  info=$(sed -n 's/^gadget-kvm: payload 0\.6 //p' "$gadget_log" | head -n 1)
  echo "session.info: $info"
  case "$info" in
    *'"displays":['*'"card0-Virtual-1"'*'],"version":"0.4.5"}') echo "ok: session.info names card0-Virtual-1" ;;
    *) lab_fail "session.info does not name card0-Virtual-1: $info" ;;
  esac
}

echo "== approving the gadget KVM"
start_gadget 1
chown "$user" "$node"
fingerprint=$(sed -n 's/^gadget-kvm: fingerprint //p' "$gadget_log")
[ -n "$fingerprint" ] || lab_fail "the gadget logged no fingerprint"
(as_user "$corvane" --approve-kvm "$fingerprint") || lab_fail "--approve-kvm $fingerprint"

echo "== corvane --run as uid $user"
# The log exists before the first look at it.
: >"$corvane_log"
(as_user "$corvane" --run 2>"$corvane_log") &
corvane_pid=$!
lab_wait_for 90 "served session" more_lines "corvane 0.4.5 running" 0
lab_wait_for 90 "usb_ready phase line" grep -q '^startup phase=usb_ready elapsed_ms=[0-9][0-9]*$' "$corvane_log"
check_session

echo "== unplugged"
lab_stop "$gadget"
not_found="corvane: no Corvane USB interface found"
lab_wait_for 60 "two attempts after the unplug" more_lines "$not_found" 1
kill -0 "$corvane_pid" || lab_fail "corvane ended after the unplug"
cat "$corvane_log"
first_error=$(sed -n '/^startup phase=usb_ready/,$p' "$corvane_log" | grep -m 1 '^corvane: ')
case "$first_error" in
  "$not_found" | "") lab_fail "corvane did not log the read error of the unplug" ;;
  *) echo "ok: the session ended with '$first_error'" ;;
esac

echo "== plugged in again"
start_gadget 2
# The USB access prompt follows; with no desktop here it asks nobody.
lab_wait_for 60 "the refused open of the new node" more_lines \
  "corvane: permission denied opening the KVM; install the USB access rule and reconnect it" 0
chown "$user" "$node"
lab_wait_for 90 "a second usb_ready phase line" \
  sh -c '[ "$(grep -c "^startup phase=usb_ready elapsed_ms=" "$1")" -ge 2 ]' - "$corvane_log"
check_session

echo "== SIGTERM"
kill -TERM "$corvane_pid"
wait "$corvane_pid" || lab_fail "corvane ended with status $? on SIGTERM"
echo "ok: corvane ended with status 0"
lab_wait_for 30 "session.close at the KVM" grep -q "^gadget-kvm: payload 0\.4 00$" "$gadget_log"
echo "ok: the KVM got session.close with reason 0"
cat "$corvane_log"
lab_stop "$gadget"
lab_stop "$desktop"
