#!/bin/sh
# Peak memory of skelv-check's live path over a long run, sampled as it goes: it must stay flat.
#
#   bench/live_memory.sh [build_dir] [hours] [size]
#
# A ten-minute clip from skelv-generate (default 1920x1080) is repeated by stream copy to
# `hours` (default 24) and read with --follow, the live path at full speed (an accelerated
# live run: every event settled, status and snapshots on the way), writing every output. The
# resident memory is sampled every few seconds; its value after each tenth of the run and the
# peak are printed.
set -eu
. "$(dirname "$0")/common.sh"
read_run_arguments "${1:-build-bench}" 1 600
hours=${2:-24}
size=${3:-1920x1080}

base="$clips/live-$size-$seconds.mkv"
[ -f "$base" ] || "$build_dir/skelv-generate" --size "$size" --duration "$seconds" "$base" > /dev/null
long="$clips/live-$size-${hours}h.mkv"
[ -f "$long" ] || ffmpeg -v error -stream_loop $((hours * 3600 / seconds - 1)) -i "$base" -c copy "$long"

"$build_dir/skelv-check" --follow -q --every 60 --refresh 300 --json "$work/r.json" --csv "$work/e.csv" \
  --html "$work/r.html" --timeline "$work/t.csv" --events "$work/e.ndjson" "$long" > /dev/null 2>&1 &
pid=$!
: > "$work/rss"
while kill -0 "$pid" 2> /dev/null; do
  awk '/VmRSS/ { print int($2 / 1024) }' "/proc/$pid/status" 2> /dev/null >> "$work/rss" || true
  sleep 5
done
wait "$pid" || true
samples=$(wc -l < "$work/rss")
printf 'RSS MB after each tenth of a %d h run at %s (%d samples):' "$hours" "$size" "$samples"
for tenth in 1 2 3 4 5 6 7 8 9 10; do
  printf ' %s' "$(sed -n "$(((samples * tenth + 9) / 10))p" "$work/rss")"
done
printf '\npeak %s MB\n' "$(sort -n "$work/rss" | tail -n 1)"
