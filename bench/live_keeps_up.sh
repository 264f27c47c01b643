#!/bin/sh
# Whether skelv-check keeps up with live streams on this machine: a 1920x1080 50 fps H.264
# stream over RTP and a 1280x720 60 fps HLS stream growing in real time, each read live for
# `seconds` on 127.0.0.1. Prints the frames read, the frames lost by the tool (0 expected)
# and skelv-check's CPU time as a share of one core.
#
#   bench/live_keeps_up.sh [build_dir] [seconds]
#
# Needs ffmpeg (to publish the HLS playlist in real time, copying) and python3 (to serve it).
set -eu
. "$(dirname "$0")/common.sh"
build_dir=$(cd "${1:-build-bench}" && pwd)
seconds=${2:-30}
clips="$build_dir/clips"
mkdir -p "$clips"
work=$(mktemp -d)
pids=""
trap 'for p in $pids; do kill "$p" 2> /dev/null || true; done; rm -rf "$work"' EXIT

clip() { # size fps -> an H.264 clip of $seconds + 5 s
  out="$clips/live-$1-$2fps-$((seconds + 5)).mkv"
  [ -f "$out" ] || "$build_dir/skelv-generate" --size "$1" --fps "$2" --duration $((seconds + 5)) "$out" > /dev/null
  echo "$out"
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# skelv-check on a live source for $seconds: frames, lost by the tool, CPU share of one core.
read_live() {
  name=$1
  shift
  /usr/bin/time -f '%U %S %e' -o "$work/time" "$build_dir/skelv-check" -q --duration "${seconds}s" \
    --json "$work/$name.json" "$@" > /dev/null 2>&1 || true
  python3 - "$work/$name.json" "$work/time" "$name" << 'EOF'
import json, sys
result = json.load(open(sys.argv[1]))
user, system, wall = (float(v) for v in open(sys.argv[2]).read().split()[-3:])
video = result["video"]
print("%-24s frames %6d   lost by the tool %4d   dropped %4d   CPU %5.1f %% of a core"
      % (sys.argv[3], video["frames"], video["lost_by_tool"], video["dropped"], 100 * (user + system) / wall))
EOF
}

# RTP: the clip's picture payloaded as it plays.
rtp_clip=$(clip 1920x1080 50)
port=$(free_port)
(sleep 1; gst-launch-1.0 -q filesrc location="$rtp_clip" ! matroskademux ! h264parse ! rtph264pay config-interval=-1 \
  ! udpsink host=127.0.0.1 port="$port" sync=true) > /dev/null 2>&1 &
pids="$pids $!"
read_live "1080p50 H.264 RTP" --caps 'application/x-rtp,media=video,clock-rate=90000,encoding-name=H264' \
  "udp://127.0.0.1:$port"

# HLS: segments of 1 s written as the clip plays, served over HTTP.
hls_clip=$(clip 1280x720 60)
mkdir "$work/hls"
ffmpeg -v error -re -i "$hls_clip" -c copy -f hls -hls_time 1 -hls_list_size 0 "$work/hls/index.m3u8" &
pids="$pids $!"
port=$(free_port)
python3 -m http.server --bind 127.0.0.1 --directory "$work/hls" "$port" > /dev/null 2>&1 &
pids="$pids $!"
sleep 3
read_live "720p60 HLS" "http://127.0.0.1:$port/index.m3u8"
