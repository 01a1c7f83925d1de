# The real `corvane --run`, as an ordinary user (uid 1000, HOME in /tmp),
# served by the gadget KVM on the guest's bus while kms-desktop lights
# Virtual-1: the KVM approved with --approve-kvm is connected; after the
# handshake the KVM receives clipboard.state, terminal.state (following its
# session.config) and file.state in that order, then a session.info naming
# card0-Virtual-1. The KVM then opens a terminal and types a command line
# that prints the shell's uid and exits: the shell runs as the user on a real
# pty, its output reaches the KVM, and the terminal closes when the shell
# ends. It drops a file, sent in two chunks, which is saved in the user's
# Downloads folder (named by user-dirs.dirs) with the bytes sent, owned by
# the user, and reported with its path. Unplugged, corvane logs the read
# error and keeps looking for a KVM; plugged in again, it cannot open the new
# device node (root's, as no udev runs here) and says so, and once the node
# is handed to the user, the way the access rule would, it sets up a new
# session. SIGTERM ends it with status 0 after session.close with reason 0.
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
mkdir /tmp/home/.config /tmp/home/Downloads
echo 'XDG_DOWNLOAD_DIR="$HOME/Downloads"' >/tmp/home/.config/user-dirs.dirs
chown -R "$user:$user" /tmp/home

# as_user COMMAND...: becomes COMMAND, run as the user in the user's
# environment; call it in a subshell, whose process it replaces, so that the
# subshell's $! is COMMAND's process id.
as_user() {
  exec /usr/bin/setpriv --reuid=$user --regid=$user --clear-groups --inh-caps=-all \
    /usr/bin/env -i PATH="$PATH" HOME=/tmp/home MESA_SHADER_CACHE_DISABLE=true \
    CORVANE_SCANWELL_HELPER=/tmp/libexec/scanwell-helper "$@"
}

# start_gadget N [OPTION...]: the gadget KVM, logging to gadget-N.log; sets node.
start_gadget() {
  gadget_log=$LAB_RESULTS/gadget-$1.log
  shift
  rm -f /tmp/gadget.ready
  "$LAB_BIN/gadget-kvm" --ready /tmp/gadget.ready "$@" 2>"$gadget_log" &
  gadget=$!
  lab_wait_for 60 "configured gadget" lab_ready /tmp/gadget.ready "$gadget"
  node=$(lab_kvm_node)
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

# le BYTES VALUE: VALUE as BYTES bytes, the least significant first. The
# octal escapes come from shell arithmetic, so no byte costs a process.
le() {
  le_value=$2 le_left=$1 le_escapes=
  while [ "$le_left" -gt 0 ]; do
    le_byte=$((le_value & 255))
    le_escapes="$le_escapes\\0$((le_byte >> 6))$(((le_byte >> 3) & 7))$((le_byte & 7))"
    le_value=$((le_value >> 8)) le_left=$((le_left - 1))
  done
  printf '%b' "$le_escapes"
}

# frame CHANNEL TYPE PAYLOAD_FILE: one frame as the KVM writes it.
frame() {
  le 2 "$1"
  le 2 "$2"
  le 4 "$(($(wc -c <"$3")))"
  cat "$3"
}

# What the KVM sends once the first session is set up: terminal.open (id 1,
# 24 rows, 80 columns); terminal.input with a command line whose output
# differs from its echo; file.drop of lab-drop.txt (id 7) and its two
# file.chunk messages, well within the initial credit. The file is text
# lines and then every byte value once.
services_frames() {
  { le 4 1; le 2 24; le 2 80; } >/tmp/terminal.open
  { le 4 1; printf '%s\n' 'echo lab-terminal-$((6*7)) uid=$(id -u); exit'; } >/tmp/terminal.input
  { seq 1 400 | sed 's/^/lab-drop line /'; byte=0
    while [ "$byte" -lt 256 ]; do le 1 "$byte"; byte=$((byte + 1)); done; } >/tmp/lab-drop.txt
  { le 4 1; le 4 7; le 8 "$(($(wc -c </tmp/lab-drop.txt)))"; le 2 12; printf lab-drop.txt; } \
    >/tmp/file.drop
  { le 4 7; le 8 0; head -c 4096 /tmp/lab-drop.txt; } >/tmp/file.chunk-1
  { le 4 7; le 8 4096; tail -c +4097 /tmp/lab-drop.txt; } >/tmp/file.chunk-2
  frame 3 2 /tmp/terminal.open
  frame 3 4 /tmp/terminal.input
  frame 4 2 /tmp/file.drop
  frame 4 4 /tmp/file.chunk-1
  frame 4 4 /tmp/file.chunk-2
}

# payloads ID: the payload lines the gadget logged for channel.type ID.
payloads() {
  sed -n "s/^gadget-kvm: payload $1 //p" "$gadget_log"
}

# The gadget logs terminal and file messages as text with other bytes as
# \xNN; each terminal message begins with the id 1, each file message with
# the transfer id 7.
terminal_1='\x01\x00\x00\x00'
transfer_7='\x07\x00\x00\x00'

check_terminal() {
  lab_wait_for 90 "terminal.closed at the KVM" grep -q '^gadget-kvm: payload 3\.8 ' "$gadget_log"
  lab_expect "terminal.opened" "$(payloads 3.3)" "${terminal_1}\\x00"
  output=$(payloads 3.5 | sed 's/^\\x01\\x00\\x00\\x00//' | tr -d '\n')
  echo "terminal output: $output"
  case "$output" in
    *'lab-terminal-42 uid=1000\x0d\x0a'*) echo "ok: the shell ran the command as uid 1000" ;;
    *) lab_fail "the terminal's output lacks 'lab-terminal-42 uid=1000'" ;;
  esac
  lab_expect "terminal.closed (the shell exited)" "$(payloads 3.8)" "${terminal_1}\\x00"
  order=$(received_ids | tr ' ' '\n' | grep '^3\.' | uniq | tr '\n' ' ')
  lab_expect "terminal messages in order" "$order" "3.1 3.3 3.5 3.8 "
}

check_file_drop() {
  lab_wait_for 90 "file.result at the KVM" grep -q '^gadget-kvm: payload 4\.6 ' "$gadget_log"
  lab_expect "file.state (files on, Downloads there)" "$(payloads 4.1)" 01000000
  lab_expect "file.accept (initial credit 524288)" "$(payloads 4.3)" "${transfer_7}\\x00\\x00\\x08\\x00"
  saved=/tmp/home/Downloads/lab-drop.txt
  lab_expect "file.result" "$(payloads 4.6)" "${transfer_7}\\x00\\x00\\x00\\x00$saved"
  # The reader thread saves files from its start, so file.accept and
  # file.result may pass file.state here, where the KVM drops a file without
  # waiting for file.state.
  order=$(received_ids | tr ' ' '\n' | grep -x '4\.[2-9]' | tr '\n' ' ')
  lab_expect "file messages in order" "$order" "4.3 4.6 "
  lab_expect "saved bytes" "$(sha256sum <"$saved")" "$(sha256sum </tmp/lab-drop.txt)"
  lab_expect "owner of the saved file" "$(stat -c %u:%g "$saved")" "$user:$user"
}

echo "== approving the gadget KVM"
services_frames >/tmp/services.frames
start_gadget 1 --session-config '{"terminal_enabled":true,"files_enabled":true}' \
  --then-send /tmp/services.frames
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

echo "== a terminal and a dropped file"
check_terminal
check_file_drop

echo "== unplugged"
# Lines of the served session (the clipboard's, for one) come before these.
served_lines=$(wc -l <"$corvane_log")
lab_stop "$gadget"
not_found="corvane: no Corvane USB interface found"
lab_wait_for 60 "two attempts after the unplug" more_lines "$not_found" 1
kill -0 "$corvane_pid" || lab_fail "corvane ended after the unplug"
cat "$corvane_log"
first_error=$(tail -n "+$((served_lines + 1))" "$corvane_log" | grep -m 1 '^corvane: ' || true)
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
