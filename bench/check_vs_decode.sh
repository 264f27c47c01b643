#!/bin/sh
# Times skelv-check on a file against a bare GStreamer decode of the same file (both streams
# to fakesinks), and compares their peak memory.
#
#   bench/check_vs_decode.sh [build_dir] [runs] [seconds]
#
# A 1920x1080 H.264 + FLAC clip of `seconds` (default 31) from skelv-generate is read `runs`
# times (default 5), interleaved: `gst-launch-1.0 filesrc ! decodebin ! fakesink` for both
# streams, then skelv-check -q. Medians, their ratio (target: at most 1.10) and the peak
# resident memory of each are printed. Clips are kept in <build_dir>/clips between calls.
set -eu
. "$(dirname "$0")/common.sh"
build_dir=${1:-build-bench}
read_run_arguments "$build_dir" "${2:-5}" "${3:-31}"

clip="$clips/h264-flac-1920x1080-$seconds.mkv"
[ -f "$clip" ] || "$build_dir/skelv-generate" --size 1920x1080 --duration "$seconds" "$clip" > /dev/null

bare_decode() {
  gst-launch-1.0 -q filesrc location="$1" ! decodebin name=d d. ! queue ! fakesink sync=false \
    d. ! queue ! fakesink sync=false
}

: > "$work/bare"; : > "$work/check"
for _ in $(seq "$runs"); do
  timed bare_decode "$clip" >> "$work/bare"
  timed "$build_dir/skelv-check" -q "$clip" >> "$work/check"
done
bare=$(median < "$work/bare") check=$(median < "$work/check")
bare_mb=$(peak_mb gst-launch-1.0 -q filesrc location="$clip" ! decodebin name=d d. ! queue ! fakesink sync=false \
  d. ! queue ! fakesink sync=false)
check_mb=$(peak_mb "$build_dir/skelv-check" -q "$clip")
printf '%-34s %9s %9s %7s   %8s %9s\n' clip decode check ratio "decode MB" "check MB"
printf '%-34s %9.2f %9.2f %7s   %8d %9d\n' "$(basename "$clip")" "$bare" "$check" "$(ratio "$check" "$bare")" \
  "$bare_mb" "$check_mb"
