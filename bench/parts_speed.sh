#!/bin/bash
# One long 1080p recording read whole, then in N parts one after another as N machines would
# read them at once: the parts' CPU summed against the whole reading's (target: within 10 %),
# and the longest part's wall time against the whole's (target: about 1/N). The recording is
# a 5-minute H.264 + FLAC clip played over and over (copied, not encoded again), as a player
# looping the clip records it.
#   bench/parts_speed.sh [build_dir] [minutes] [parts]
set -eu
. "$(dirname "$0")/common.sh"
build_dir=$(cd "${1:-build-bench}" && pwd)
minutes=${2:-120}
parts=${3:-8}
check=$build_dir/skelv-check
clips=$build_dir/clips
mkdir -p "$clips"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

piece=$clips/piece-1080p-5min.mkv
[ -f "$piece" ] || "$build_dir/skelv-generate" --size 1920x1080 --duration 300 "$piece" > /dev/null
soak=$clips/soak-1080p-${minutes}min.mkv
if [ ! -f "$soak" ]; then
  for _ in $(seq $((minutes / 5))); do echo "file '$piece'"; done > "$work/pieces.txt"
  ffmpeg -nostdin -v error -f concat -safe 0 -i "$work/pieces.txt" -c copy "$soak"
fi

# CPU seconds (user + system) and wall seconds of one command, whatever it exits with.
cpu_and_wall() {
  /usr/bin/time -f "%U %S %e" "$@" 2>&1 > /dev/null | tail -n 1 | awk '{ print $1 + $2, $3 }'
}
add() { awk -v a="$1" -v b="$2" 'BEGIN { print a + b }'; }
larger() { awk -v a="$1" -v b="$2" 'BEGIN { print (b > a) ? b : a }'; }

read -r whole_cpu whole_wall <<< "$(cpu_and_wall "$check" -q --json "$work/whole.json" "$soak")"
echo "whole: $whole_cpu s CPU, $whole_wall s"
parts_cpu=0 longest=0
for k in $(seq "$parts"); do
  read -r cpu wall <<< "$(cpu_and_wall "$check" --part "$k/$parts" --part-out "$work/$k.part" "$soak")"
  echo "part $k/$parts: $cpu s CPU, $wall s, $(du -k "$work/$k.part" | cut -f1) kB"
  parts_cpu=$(add "$parts_cpu" "$cpu")
  longest=$(larger "$longest" "$wall")
done
read -r merge_cpu merge_wall <<< "$(cpu_and_wall "$check" merge -q "$work"/*.part --json "$work/joined.json")"
echo "merge: $merge_cpu s CPU, $merge_wall s"
python3 - "$work/whole.json" "$work/joined.json" <<'PY'
import json, sys
whole, joined = (json.load(open(p)) for p in sys.argv[1:])
same = whole["verdict"] == joined["verdict"] and whole["video"] == joined["video"] and len(whole["sync"]["events"]) == len(joined["sync"]["events"])
print(f"joined result as the whole's: {'yes' if same else 'NO'} ({len(joined['sync']['events'])} events, {joined['video']['frames']} frames)")
PY
echo "parts' CPU / whole's: $(ratio "$(add "$parts_cpu" "$merge_cpu")" "$whole_cpu") (merge included)"
echo "longest part's wall / whole's: $(ratio "$longest" "$whole_wall") (1/$parts = $(ratio 1 "$parts"))"
