# Helpers shared by the timing scripts: clock, ratios, medians and timed runs.

# The arguments [build_dir] [runs] [seconds] of the comparison scripts; clips are kept in
# <build_dir>/clips between calls, scratch files in $work until exit.
read_run_arguments() {
  build_dir=$(cd "${1:-build-bench}" && pwd)
  runs=${2:-5}
  seconds=${3:-30}
  clips="$build_dir/clips"
  mkdir -p "$clips"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
}

now() { date +%s.%N; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Seconds taken by one command, its output thrown away.
timed() {
  start=$(now)
  "$@" > /dev/null 2>&1
  awk -v a="$(now)" -v b="$start" 'BEGIN { print a - b }'
}

# Peak resident memory of one command, MB.
peak_mb() {
  /usr/bin/time -f %M "$@" 2>&1 > /dev/null | tail -n 1 | awk '{ printf "%d", $1 / 1024 }'
}
