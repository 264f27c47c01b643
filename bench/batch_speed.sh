#!/bin/bash
# Speed of skelv-check's batch mode: 8 clips analysed one after another against the same
# clips as one batch with -j 2, then the merge of 10,000 result folders.
#   bench/batch_speed.sh [build_dir] [clips] [seconds] [size]
# Targets: batch / one after another <= 0.6 on 2 cores; merge of 10,000 folders < 10 s.
set -eu
build=${1:-build}
clips=${2:-8}
seconds=${3:-30}
size=${4:-640x360}
check=$build/skelv-check
generate=$build/skelv-generate
work=$(mktemp -d /tmp/skelv-batch-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

. "$(dirname "$0")/common.sh"
elapsed() { awk -v end="$(now)" -v start="$1" 'BEGIN { print end - start }'; }

mkdir -p "$work/clips" "$work/one"
for i in $(seq "$clips"); do
  "$generate" --duration "$seconds" --size "$size" --audio-delay $((i * 5)) "$work/clips/clip$i.mp4" > /dev/null
done
echo "$clips clips of $seconds s, $size, H.264+AAC; $(nproc) cores"

start=$(now)
for clip in "$work"/clips/*.mp4; do
  name=$(basename "$clip" .mp4)
  "$check" -q --json "$work/one/$name.json" --csv "$work/one/$name.csv" --html "$work/one/$name.html" \
    --timeline "$work/one/$name.timeline.csv" "$clip" || [ $? = 4 ]
done
one_by_one=$(elapsed "$start")

start=$(now)
"$check" -q -j 2 --out "$work/batch" "$work/clips" || [ $? = 4 ]
batch=$(elapsed "$start")
printf 'one after another %.1f s, batch -j 2 %.1f s: ratio %.2f (target <= 0.6)\n' \
  "$one_by_one" "$batch" "$(ratio "$batch" "$one_by_one")"

# 10,000 result folders: copies of one real entry under new names and paths.
entry=$(dirname "$(ls "$work"/batch/*/status.json | head -n 1)")
python3 - "$entry" "$work/many" 10000 <<'PY'
import json, os, shutil, sys
entry, many, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
status = json.load(open(os.path.join(entry, "status.json")))
os.makedirs(many)
for i in range(count):
    folder = os.path.join(many, f"take{i:05d}.mp4-{i:08x}")
    shutil.copytree(entry, folder)
    status.update(file=f"/lab/take{i:05d}.mp4", key=f"/lab/take{i:05d}.mp4", id=os.path.basename(folder))
    with open(os.path.join(folder, "status.json"), "w") as f:
        json.dump(status, f)
PY
sync
start=$(now)
"$check" merge -q "$work/many" || [ $? = 4 ]
merge=$(elapsed "$start")
rows=$(($(wc -l < "$work/many/summary.csv") - 1))
printf 'merge of %d folders: %.2f s (target < 10 s); index.html %s KB\n' \
  "$rows" "$merge" "$(($(stat -c %s "$work/many/index.html") / 1024))"
