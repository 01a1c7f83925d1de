# Benchmark: the grab rate of libscanwell with the real scanwell-helper on a
# 1920x1080 scan-out (kms-desktop lighting Virtual-1), and the share of that
# time spent in scanwell_displays_changed. The figures are printed; only a
# run that cannot complete fails.
build=${LAB_BIN%/lab}
helper=$build/lib/corvane/scanwell-helper
[ -x "$helper" ] || lab_fail "$helper is not built (cmake --build $build)"
modprobe virtio_gpu
lab_wait_for 30 "DRM device" test -c /dev/dri/card0
"$LAB_BIN/kms-desktop" --ready /tmp/desktop.ready Virtual-1 &
desktop=$!
lab_wait_for 60 "lit desktop" lab_ready /tmp/desktop.ready "$desktop"
"$LAB_BIN/scanwell-grab-bench" "$helper" 5 >/tmp/bench.log 2>&1 ||
  { cat /tmp/bench.log; lab_fail "the benchmark did not complete"; }
cat /tmp/bench.log
grep -q "^grabs: 1920x1080 " /tmp/bench.log || lab_fail "the scan-out is not 1920x1080"
lab_stop "$desktop"
