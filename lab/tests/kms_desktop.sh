# The KMS desktop stand-in lights Virtual-1 and Virtual-2 on virtio-gpu with
# the test pattern and puts its cursor on Virtual-1; the EDID override gives
# Virtual-1 the KVM's manufacturer code and takes it away again.
modprobe virtio_gpu
lab_wait_for 30 "DRM device" test -c /dev/dri/card0
drm=/sys/class/drm
state=/sys/kernel/debug/dri/0/state

echo on >"$drm/card0-Virtual-2/status"
"$LAB_BIN/kms-desktop" --ready /tmp/desktop.ready --cursor 100,200 Virtual-1 Virtual-2:1024x768 &
desktop=$!
lab_wait_for 60 "lit desktop" lab_ready /tmp/desktop.ready "$desktop"

for output in Virtual-1 Virtual-2; do
  lab_expect "$output status" "$(cat "$drm/card0-$output/status")" connected
  lab_expect "$output enabled" "$(cat "$drm/card0-$output/enabled")" enabled
done
# The atomic state names each plane's framebuffer format and position.
planes=$(grep -E '^\s*(format|crtc-pos)=' "$state" | sed 's/^\s*//; s/ .*//' | tr '\n' ' ')
echo "planes: $planes"
for plane in "format=XR24 crtc-pos=1920x1080+0+0" "format=AR24 crtc-pos=64x64+100+200" \
  "format=XR24 crtc-pos=1024x768+0+0"; do
  case "$planes" in
    *"$plane"*) echo "ok: a plane with $plane" ;;
    *) lab_fail "no plane with $plane" ;;
  esac
done

edid=$drm/card0-Virtual-1/edid
manufacturer() { od -An -tx1 -j8 -N2 "$edid" | tr -d ' \n'; }
[ "$(manufacturer)" != 6ace ] || lab_fail "Virtual-1 carries the KVM's code before the override"
"$LAB_BIN/edid-override" /sys/kernel/debug/dri/0/Virtual-1 ZVN
lab_expect "EDID size" "$(wc -c <"$edid")" 128
lab_expect "EDID bytes 8-9" "$(manufacturer)" 6ace
lab_expect "EDID checksum" "$(od -An -tu1 -v "$edid" | awk '{ for (i = 1; i <= NF; i++) sum += $i }
  END { print sum % 256 }')" 0
"$LAB_BIN/edid-override" /sys/kernel/debug/dri/0/Virtual-1 reset
lab_expect "EDID size after the reset" "$(wc -c <"$edid")" 0

lab_stop "$desktop"
