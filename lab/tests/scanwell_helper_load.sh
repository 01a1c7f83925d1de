# One scanwell-helper under load: 10000 frame requests (and a cursor query
# after every tenth) through libscanwell on virtio-gpu, as an ordinary user
# with the helper installed the way corvane installs it (CAP_SYS_ADMIN as a
# file capability). The helper's seccomp filter kills it with SIGSYS on any
# system call it lacks; the library would then name the signal at the next
# request, and the kernel logs every such kill (audit type 1326), so the
# kernel log must have none, the helper's exit at the end included.
# 10000 grabs take about 150 s under TCG on a busy machine.
# lab-timeout: 480
build=${LAB_BIN%/lab}
helper=$build/lib/corvane/scanwell-helper
for program in "$helper" "$LAB_BIN/scanwell-load-check" "$LAB_BIN/kms-desktop"; do
  [ -x "$program" ] || lab_fail "$program is not built (cmake --build $build)"
done
grabs=10000

# Without kill_process among the logged actions a kill would leave no line
# and the kernel log would prove nothing.
case " $(cat /proc/sys/kernel/seccomp/actions_logged) " in
  *" kill_process "*) echo "ok: the kernel logs seccomp kills" ;;
  *) lab_fail "seccomp kills are not logged: $(cat /proc/sys/kernel/seccomp/actions_logged)" ;;
esac

modprobe virtio_gpu
lab_wait_for 30 "DRM device" test -c /dev/dri/card0
"$LAB_BIN/kms-desktop" --ready /tmp/desktop.ready --cursor 100,200 Virtual-1 &
desktop=$!
lab_wait_for 60 "lit desktop" lab_ready /tmp/desktop.ready "$desktop"

mkdir /tmp/libexec
cp "$helper" /tmp/libexec/scanwell-helper
chmod 0755 /tmp/libexec/scanwell-helper
setcap cap_sys_admin+ep /tmp/libexec/scanwell-helper
chmod 0666 /dev/dri/card0

started=$(cut -d ' ' -f 1 /proc/uptime)
/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
  "$LAB_BIN/scanwell-load-check" /tmp/libexec/scanwell-helper $grabs >/tmp/load.log 2>&1 ||
  { cat /tmp/load.log; lab_fail "the helper did not answer $grabs grabs"; }
cat /tmp/load.log
awk -v start="$started" '{ printf "took %.1f s\n", $1 - start }' /proc/uptime
grep -q "^load: $grabs grabs and $((grabs / 10)) cursor queries answered by one helper$" /tmp/load.log ||
  lab_fail "the load check did not finish"
grep -q "^scanwell-helper: seccomp filter installed$" /tmp/load.log ||
  lab_fail "the helper ran without its seccomp filter"

! pgrep -x scanwell-helper >/dev/null || lab_fail "a helper outlived its context"
kills=$(dmesg | grep -E 'type=1326|SIGSYS' || true)
[ -z "$kills" ] || lab_fail "seccomp killed a process: $kills"
echo "ok: no seccomp kill in the kernel log"
lab_stop "$desktop"
