#!/bin/sh
# Makes a sample clip with a known +40 ms audio delay, analyses it and checks it.
set -eu
build_dir=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/demo"
cd "$root/demo"

# H.264 with lossless FLAC in Matroska: the analyser should report the delay itself (plus
# the beep detector's edge offset of about 0.3 ms), as the sidecar says.
"$root/$build_dir/skelv-generate" --audio-delay 40 sample.mkv

echo "Analysing demo/sample.mkv:"
"$root/$build_dir/skelv-analyzer" sample.mkv
echo "Timeline written to demo/frames.txt; what a correct analysis reports: demo/sample.mkv.expected.json"

echo
echo "Checking demo/sample.mkv:"
"$root/$build_dir/skelv-check" --html sample.html --json sample.json sample.mkv
echo "Visual report: demo/sample.html; the result as JSON: demo/sample.json"
