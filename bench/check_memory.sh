#!/bin/sh
# Peak memory of skelv-check against the length of the recording: it must not grow.
#
#   bench/check_memory.sh [build_dir] [minutes...]
#
# A ten-minute 320x240 clip from skelv-generate is repeated (stream copy, no re-encoding) to
# each length (default 10 and 180 minutes) and checked with -q and no outputs, then again with
# every output; each line gives the peak resident memory in MB. The clip's content restarts
# every ten minutes, so the check reads a loop there: the reading goes on as on any long capture.
set -eu
. "$(dirname "$0")/common.sh"
build_dir=$(cd "${1:-build-bench}" && pwd)
[ $# -gt 0 ] && shift
lengths=${*:-10 180}
clips="$build_dir/clips"
mkdir -p "$clips"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

base="$clips/memory-320x240-600.mkv"
[ -f "$base" ] || "$build_dir/skelv-generate" --size 320x240 --duration 600 "$base" > /dev/null

printf '%8s %14s %14s\n' minutes "RSS MB (-q)" "RSS MB (all)"
for minutes in $lengths; do
  long="$clips/memory-320x240-${minutes}min.mkv"
  [ -f "$long" ] || ffmpeg -v error -stream_loop $((minutes / 10 - 1)) -i "$base" -c copy "$long"
  quiet=$(peak_mb "$build_dir/skelv-check" -q "$long")
  outputs=$(peak_mb "$build_dir/skelv-check" -q --json "$work/r.json" --csv "$work/e.csv" \
    --timeline "$work/t.csv" --html "$work/r.html" "$long")
  printf '%8d %14d %14d\n' "$minutes" "$quiet" "$outputs"
done
