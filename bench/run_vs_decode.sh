#!/bin/sh
# Times whole analyser runs against the bare decode they are made of.
#
#   bench/run_vs_decode.sh [build_dir] [runs] [seconds]
#
# For each generated clip, `runs` rounds (default 5) run, interleaved: skelv-analyzer, the
# bare pipeline twice (the analyser decodes twice), and loader_drain (one decode through the
# analyser's loader, no analysis) against one more bare pipeline. Medians are printed with
# the ratios: analyser / two bare passes, and loader / one bare pass. Clips are `seconds`
# long (default 30) and are kept in <build_dir>/clips between calls.
set -eu
. "$(dirname "$0")/common.sh"
read_run_arguments "$@"

# The analyser's pipeline shape: no queues of its own after the decoding bin.
bare_pass() {
  gst-launch-1.0 -q filesrc location="$1" ! decodebin name=d \
    d. ! videoconvert ! video/x-raw,format=RGBx ! fakesink sync=false \
    d. ! audioconvert ! audio/x-raw,format=S16LE,channels=1 ! fakesink sync=false
}

bare_twice() { bare_pass "$1" && bare_pass "$1"; }

make_clip() { # name size extension background [codec options...]
  name=$1 size=$2 extension=$3 background=$4
  shift 4
  out="$clips/$name-$seconds.$extension"
  [ -f "$out" ] || "$build_dir/skelv-generate" --size "$size" --duration "$seconds" --background "$background" \
    "$@" "$out" > /dev/null
  echo "$out"
}

measure() { # clip
  : > "$work/analyser"; : > "$work/bare2"; : > "$work/loader"; : > "$work/bare1"
  for _ in $(seq "$runs"); do
    (cd "$work" && timed "$build_dir/skelv-analyzer" "$1") >> "$work/analyser"
    timed bare_twice "$1" >> "$work/bare2"
    timed "$build_dir/bench/loader_drain" "$1" >> "$work/loader"
    timed bare_pass "$1" >> "$work/bare1"
  done
  analyser=$(median < "$work/analyser") bare2=$(median < "$work/bare2")
  loader=$(median < "$work/loader") bare1=$(median < "$work/bare1")
  rss=$(cd "$work" && peak_mb "$build_dir/skelv-analyzer" "$1")
  printf '%-34s %8.2f %8.2f %6.3f   %8.2f %8.2f %6.3f   %6d\n' "$(basename "$1")" "$analyser" "$bare2" \
    "$(ratio "$analyser" "$bare2")" "$loader" "$bare1" "$(ratio "$loader" "$bare1")" "$rss"
}

printf '%-34s %8s %8s %6s   %8s %8s %6s   %6s\n' clip analyser "2 bare" ratio loader "1 bare" ratio "RSS MB"
for size in 640x360 1280x720 1920x1080; do
  measure "$(make_clip "h264-aac-grey-$size" "$size" mp4 grey)"
  measure "$(make_clip "vp9-opus-grey-$size" "$size" webm grey --video-codec vp9 --audio-codec opus)"
done
measure "$(make_clip "h264-aac-black-1920x1080" 1920x1080 mp4 black)"
