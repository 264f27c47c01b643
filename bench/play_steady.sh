#!/bin/sh
# Whether skelv-generate --play plays steadily for a day: no buffer dropped late, no gap in
# what it sent, memory flat.
#
#   bench/play_steady.sh [build_dir] [minutes] [accelerated_hours] [speed] [size]
#
# (a) A real-time 1920x1080 25 fps play to udp://127.0.0.1:PORT (nobody needs to listen) for
# `minutes` (default 10). (b) bench/play_accelerated: the same player on a clock that runs
# `speed` times real time (default 72) for `accelerated_hours` of play (default 24, in 20
# minutes), at `size` (default 160x120) into the udp:// target's encoders and muxer ending in a
# fakesink. For each: the resident memory, sampled every 5 s, after each tenth of the run, and
# its range from the first tenth to the end, with the machine's load average along the run (on
# a shared machine, a play that falls behind under load queues buffers, and the memory that
# held them stays with the process); the sidecar checked for gaps (every frame once, in order,
# one frame period after the last, on one base time; every beep once, in order, a flash period
# after the last); the late buffers of its end line. `minutes` 0 leaves out (a).
set -eu
. "$(dirname "$0")/common.sh"
build_dir=$(cd "${1:-build-bench}" && pwd)
minutes=${2:-10}
hours=${3:-24}
speed=${4:-72}
size=${5:-160x120}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

free_port() { python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# Runs a command, its resident memory sampled every 5 s; prints its output, then the samples
# after each tenth of the run and the growth from the first tenth to the end.
run_sampled() {
  "$@" > "$work/out" 2>&1 &
  pid=$!
  : > "$work/rss"
  : > "$work/load"
  while kill -0 "$pid" 2> /dev/null; do
    awk '/VmRSS/ { print int($2 / 1024) }' "/proc/$pid/status" 2> /dev/null >> "$work/rss" || true
    cut -d ' ' -f 1 /proc/loadavg >> "$work/load"
    sleep 5
  done
  wait "$pid" || true
  cat "$work/out"
  samples=$(wc -l < "$work/rss")
  printf 'RSS MB after each tenth (%d samples):' "$samples"
  for tenth in 1 2 3 4 5 6 7 8 9 10; do
    printf ' %s' "$(sed -n "$(((samples * tenth + 9) / 10))p" "$work/rss")"
  done
  awk -v from=$(((samples + 9) / 10)) 'NR >= from { if (NR == from || $1 < low) low = $1; if ($1 > high) high = $1 }
    END { printf "; from the first tenth on %d-%d MB; peak %d MB\n", low, high, high }' "$work/rss"
  awk '{ sum += $1; if ($1 > high) high = $1 } END { printf "load average along the run: mean %.1f, peak %.1f\n", sum / NR, high }' \
    "$work/load"
}

# Frames and beeps of a sidecar: each once, in order, evenly apart; the end line's counts. A
# run of frames or beeps left out is one gap.
check_sidecar() {
  python3 - "$1" << 'EOF'
import json, sys
from fractions import Fraction
frames = beeps = problems = 0
next_frame = next_beep = 0  # a gap is counted once, and the count goes on after it
base = None
end = {}
def problem(text):
    global problems
    problems += 1
    if problems <= 5:
        print("  gap:", text)
for text in open(sys.argv[1]):
    line = json.loads(text)
    kind = line["type"]
    if kind == "play":
        num, den = (int(v) for v in line["fps"].split("/"))
        period = Fraction(10**9 * den, num)
        flash_period = line["flash_period"]
    elif kind == "frame":
        if line["frame"] != next_frame:
            problem("frame %d after frame %d" % (line["frame"], next_frame - 1))
        next_frame = line["frame"] + 1
        if abs(line["running_ns"] - line["frame"] * period) >= 1:
            problem("frame %d at %d ns" % (line["frame"], line["running_ns"]))
        if base is None:
            base = line["clock_ns"] - line["running_ns"]
        if line["clock_ns"] - line["running_ns"] != base:
            problem("frame %d off the base time" % line["frame"])
        frames += 1
    elif kind == "beep":
        if line["beep"] != next_beep:
            problem("beep %d after beep %d" % (line["beep"], next_beep - 1))
        elif beeps > 0 and line["flash_offset"] - last_flash != flash_period:
            problem("beep %d at flash offset %d" % (line["beep"], line["flash_offset"]))
        last_flash = line["flash_offset"]
        next_beep = line["beep"] + 1
        beeps += 1
    elif kind == "end":
        end = line
if end.get("frames") != next_frame:
    problem("the end line says %s frames, the sidecar lists up to %d" % (end.get("frames"), next_frame))
print("sidecar: %d frames (%.2f h) of %d, %d beeps, %d gaps; late buffers %s; ended by %s"
      % (frames, next_frame * period / 10**9 / 3600, next_frame, beeps, problems, end.get("late"), end.get("reason")))
EOF
}

if [ "$minutes" -gt 0 ]; then
  echo "(a) real time: ${minutes} min of 1920x1080 25 fps to udp://127.0.0.1 (skelv-generate --play)"
  run_sampled "$build_dir/skelv-generate" --play "udp://127.0.0.1:$(free_port)" --size 1920x1080 \
    --duration $((minutes * 60)) --sidecar "$work/real.ndjson"
  check_sidecar "$work/real.ndjson"
  rm -f "$work/real.ndjson"
fi

echo "(b) accelerated: ${hours} h of $size at ${speed}x into the udp:// encoders and a fakesink (play_accelerated)"
run_sampled "$build_dir/bench/play_accelerated" "$size" "$hours" "$speed" "$work/fast.ndjson"
check_sidecar "$work/fast.ndjson"
