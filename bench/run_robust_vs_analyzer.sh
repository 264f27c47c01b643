#!/bin/sh
# Times skelv-check's whole run (the robust reading of picture and sound, pairing, verdict)
# against skelv-analyzer on the same file, and checks that its memory does not grow with the
# recording's length.
#
#   bench/run_robust_vs_analyzer.sh [build_dir] [runs] [seconds]
#
# A 1920x1080 H.264 clip of `seconds` (default 30) from skelv-generate is read `runs` times
# (default 5), interleaved: skelv-analyzer (two decodes to RGBx), then skelv-check (one decode
# in the decoder's own YUV and float sound). Medians, their ratio and each program's peak
# resident memory are printed; then skelv-check's peak memory on 640x360 clips of `seconds`
# and four times as long. Clips are kept in <build_dir>/clips between calls.
set -eu
. "$(dirname "$0")/common.sh"
read_run_arguments "$@"

make_clip() { # size seconds [options...]
  size=$1 length=$2
  shift 2
  out="$clips/h264-$size-$length$(printf '%s' "$*" | tr -d ' -').mp4"
  [ -f "$out" ] || "$build_dir/skelv-generate" --size "$size" --duration "$length" "$@" "$out" > /dev/null
  echo "$out"
}

clip=$(make_clip 1920x1080 "$seconds")
: > "$work/analyser"; : > "$work/robust"
for _ in $(seq "$runs"); do
  (cd "$work" && timed "$build_dir/skelv-analyzer" "$clip") >> "$work/analyser"
  timed "$build_dir/skelv-check" -q "$clip" >> "$work/robust"
done
analyser=$(median < "$work/analyser") robust=$(median < "$work/robust")
analyser_mb=$(cd "$work" && peak_mb "$build_dir/skelv-analyzer" "$clip")
robust_mb=$(peak_mb "$build_dir/skelv-check" -q "$clip")
printf '%-28s %9s %9s %7s   %11s %11s\n' clip analyser check ratio "analyser MB" "check MB"
printf '%-28s %9.2f %9.2f %7s   %11d %11d\n' "$(basename "$clip")" "$analyser" "$robust" \
  "$(ratio "$robust" "$analyser")" "$analyser_mb" "$robust_mb"

short=$(make_clip 640x360 "$seconds" --no-audio)
long=$(make_clip 640x360 $((4 * seconds)) --no-audio)
printf 'skelv-check peak memory, 640x360: %d MB for %d s, %d MB for %d s\n' \
  "$(peak_mb "$build_dir/skelv-check" -q "$short")" "$seconds" \
  "$(peak_mb "$build_dir/skelv-check" -q "$long")" $((4 * seconds))
