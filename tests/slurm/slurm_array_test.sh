#!/bin/bash
# The Slurm recipes for real: a single-node Slurm (munged, slurmctld, slurmd) started in a
# temporary directory with a generated configuration; deploy/slurm-array.sbatch submitted as
# a job array over a few generated clips, the merge as a job after it, and the summary checked;
# then deploy/slurm-parts.sbatch over the parts of one clip, their merge after them, and the
# result checked against the clip read whole.
# Exits 77 (skipped) with a message where the daemons cannot start.
#   slurm_array_test.sh SKELV_CHECK SKELV_GENERATE SOURCE_DIR
set -u
check=$1 generate=$2 source=$3
readonly shards=3 wait_seconds=240

skip() { echo "SKIPPED: $*" >&2; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

for tool in munged slurmctld slurmd sbatch scontrol sinfo scancel python3; do
  command -v "$tool" > /dev/null || skip "$tool is not installed (Debian: slurm-wlm, munge)"
done
[ "$(id -u)" = 0 ] || skip "the Slurm daemons need root here"

work=$(mktemp -d /tmp/skelv-slurm-XXXXXX)
pids=()
cleanup() {
  [ -f "$work/slurm.conf" ] && SLURM_CONF=$work/slurm.conf scancel --quiet --user=root 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

show_logs() { tail -n 20 "$work"/*.log >&2 2>/dev/null; }

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

start_cluster() {
  # munged wants its key private and the way to its socket open to every user.
  mkdir -p "$work/state" "$work/spool" "$work/munge-key" "$work/munge"
  chmod 755 "$work" "$work/munge"
  chmod 700 "$work/munge-key"
  head -c 1024 /dev/urandom > "$work/munge-key/munge.key"
  chmod 400 "$work/munge-key/munge.key"
  munged --foreground --key-file="$work/munge-key/munge.key" --socket="$work/munge/socket" \
    --pid-file="$work/munge/munged.pid" --log-file="$work/munged.log" \
    --seed-file="$work/munge-key/seed" > "$work/munged.out" 2>&1 &
  pids+=($!)
  local node ctld_port node_port
  node=$(hostname -s)
  ctld_port=$(free_port)
  node_port=$(free_port)
  cat > "$work/slurm.conf" <<CONF
ClusterName=skelvtest
SlurmctldHost=$node(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$ctld_port
SlurmdPort=$node_port
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
PlugStackConfig=$work/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
SchedulerType=sched/builtin
# The jobs here last seconds: look at pending ones every second, and at once on submission.
SchedulerParameters=sched_interval=1,batch_sched_delay=0
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
CONF
  touch "$work/plugstack.conf"
  export SLURM_CONF=$work/slurm.conf
  for _ in $(seq 50); do [ -S "$work/munge/socket" ] && break; sleep 0.1; done
  [ -S "$work/munge/socket" ] || { show_logs; return 1; }
  slurmctld -D -i > "$work/slurmctld.out" 2>&1 &
  pids+=($!)
  slurmd -D > "$work/slurmd.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 150); do
    [ "$(sinfo --noheader --format=%t 2>/dev/null)" = idle ] && return 0
    sleep 0.2
  done
  show_logs
  return 1
}

start_cluster || skip "the single-node Slurm did not come up (logs above)"

# Recordings on the "shared storage": two good clips, one beyond EBU R37's 60 ms lag, one
# that cannot be decoded. Short and small: the test is about the recipe, not the analysis.
clips=$work/recordings
mkdir -p "$clips"
for take in "good1.mkv 0" "good2.mp4 20" "late.mkv 150"; do
  set -- $take
  "$generate" --duration 3 --audio-delay "$2" "$clips/$1" > /dev/null 2>&1 \
    || fail "skelv-generate could not make $1"
done
head -c 4096 /dev/urandom > "$clips/broken.mkv"

cd "$work"
job=$(SKELV_CHECK=$check timeout 30 sbatch --parsable --array=0-$((shards - 1)) \
  --cpus-per-task=1 "$source/deploy/slurm-array.sbatch" "$work/results" "$clips") \
  || { show_logs; fail "sbatch of the array was refused"; }
merge=$(timeout 30 sbatch --parsable --dependency="afterany:$job" --output="$work/merge.out" \
  --wrap "'$check' merge '$work/results'") || { show_logs; fail "sbatch of the merge was refused"; }
# The state of job $1 once it has ended, waiting at most wait_seconds. sbatch --wait asks ever
# more slowly (up to every 10 s); asking every 0.2 s keeps the test short.
wait_for_job() {
  local state
  for _ in $(seq $((wait_seconds * 5))); do
    state=$(scontrol --oneliner show job "$1" 2>/dev/null)
    case "$state" in
      ''|*JobState=PENDING*|*JobState=CONFIGURING*|*JobState=RUNNING*|*JobState=COMPLETING*) sleep 0.2 ;;
      *) printf '%s\n' "$state"; return 0 ;;
    esac
  done
  show_logs
  fail "job $1 did not finish within $wait_seconds s"
}
state=$(wait_for_job "$merge") || exit 1
merge_code=$(printf '%s\n' "$state" | sed -n 's/.* ExitCode=\([0-9]*\):.*/\1/p')
cat "$work"/skelv-check-*.out "$work/merge.out" >&2

python3 - "$work/results" "$shards" "$merge_code" <<'PY' || exit 1
import json, os, sys
results, shards, merge_code = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
summary = json.load(open(os.path.join(results, "summary.json")))
verdicts = {os.path.basename(r["file"]): r["verdict"] for r in summary["rows"]}
expected = {"good1.mkv": "pass", "good2.mp4": "pass", "late.mkv": "fail", "broken.mkv": "error"}
problems = []
if verdicts != expected:
    problems.append(f"verdicts {verdicts}, expected {expected}")
# Every recording analysed by exactly one array task, each task by its own shard.
shard_of = {}
for row in summary["rows"]:
    status = json.load(open(os.path.join(results, row["folder"], "status.json")))
    shard_of[os.path.basename(row["file"])] = status["shard"]
if not all(s and s.endswith(f"/{shards}") for s in shard_of.values()):
    problems.append(f"shards {shard_of}")
late = next(r for r in summary["rows"] if r["file"].endswith("late.mkv"))
if not (149 < late["median_ms"] < 152):
    problems.append(f"late.mkv median {late['median_ms']} ms, designed 150 ms")
if merge_code != 4:  # the merge job's exit code, as Slurm recorded it
    problems.append(f"merge job ended with {merge_code}, expected 4 for the failing clip")
if not os.path.exists(os.path.join(results, "index.html")):
    problems.append("no index.html")
for p in problems:
    print("FAILED:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY

# One clip of 24 s in three parts (the later ones seek), joined after them: as the clip read whole.
"$generate" --size 192x144 --duration 24 --audio-delay 30 "$clips/soak.mkv" > /dev/null 2>&1 \
  || fail "skelv-generate could not make soak.mkv"
"$check" --json "$work/whole.json" "$clips/soak.mkv" > /dev/null || fail "soak.mkv read whole did not pass"
job=$(SKELV_CHECK=$check timeout 30 sbatch --parsable --array=0-2 --cpus-per-task=1 \
  "$source/deploy/slurm-parts.sbatch" "$work/parts" "$clips/soak.mkv") \
  || { show_logs; fail "sbatch of the parts was refused"; }
merge=$(timeout 30 sbatch --parsable --dependency="afterok:$job" --output="$work/parts-merge.out" \
  --wrap "'$check' merge '$work'/parts/soak.mkv.*-of-3.part --json '$work/joined.json'") \
  || { show_logs; fail "sbatch of the parts' merge was refused"; }
state=$(wait_for_job "$merge") || exit 1
cat "$work"/skelv-part-*.out "$work/parts-merge.out" >&2
case "$state" in *JobState=COMPLETED*) ;; *) fail "the parts' merge did not complete: $state" ;; esac
python3 - "$work/whole.json" "$work/joined.json" <<'PY' || exit 1
import json, sys
whole, joined = (json.load(open(p)) for p in sys.argv[1:])
for key in ("verdict", "video", "audio"):
    if whole[key] != joined[key]:
        sys.exit(f"FAILED: the joined parts' {key} differs from the whole's: {joined[key]} != {whole[key]}")
delays = [(round(w["delay_ms"], 2), round(j["delay_ms"], 2)) for w, j in zip(whole["sync"]["events"], joined["sync"]["events"])]
if len(whole["sync"]["events"]) != len(joined["sync"]["events"]) or any(w != j for w, j in delays):
    sys.exit(f"FAILED: the joined parts' events differ from the whole's: {delays}")
PY
echo "Slurm array of $shards tasks and the merge job: summary as designed; 3 parts of one clip joined as it reads whole"
