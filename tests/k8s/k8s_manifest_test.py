#!/usr/bin/env python3
"""The Kubernetes recipes without a cluster: the manifests parse as YAML, the fields that make
an Indexed Job are there and agree with each other, and the pods' shell scripts run with a
stand-in skelv-check that records its arguments: many recordings in shards and their merge,
one recording in parts and their merge.  k8s_manifest_test.py DEPLOY_DIR"""
import fnmatch
import os
import re
import stat
import subprocess
import sys
import tempfile

try:
    import yaml
except ImportError:
    print("SKIPPED: python3-yaml is not installed", file=sys.stderr)
    sys.exit(77)

deploy = sys.argv[1]
problems = []


def check(condition, message):
    if not condition:
        problems.append(message)


def load(name):
    with open(os.path.join(deploy, name)) as f:
        documents = [d for d in yaml.safe_load_all(f) if d is not None]
    check(len(documents) == 1, f"{name}: one Job per file, found {len(documents)} documents")
    job = documents[0]
    check(job.get("apiVersion") == "batch/v1" and job.get("kind") == "Job", f"{name}: not a batch/v1 Job")
    return job


def desired(obj):
    """A Kubernetes object's desired state: its one field beside apiVersion, kind and metadata."""
    rest = [value for key, value in obj.items() if key not in ("apiVersion", "kind", "metadata")]
    check(len(rest) == 1 and isinstance(rest[0], dict), "an object with one desired state")
    return rest[0] if rest else {}


def container_of(name, job):
    pod = desired(desired(job)["template"])
    check(pod.get("restartPolicy") in ("Never", "OnFailure"), f"{name}: a Job's pods need restartPolicy Never or OnFailure")
    containers = pod["containers"]
    check(len(containers) == 1, f"{name}: one container")
    return pod, containers[0]


def script_of(name, container):
    command = container.get("command", []) + container.get("args", [])
    check(command[:2] == ["/bin/sh", "-c"] and len(command) == 3, f"{name}: the command is one sh -c script")
    script = command[-1]
    check(subprocess.run(["sh", "-n", "-c", script]).returncode == 0, f"{name}: the script has a syntax error")
    return script


def claim_of(pod, container, path):
    """The claim of the volume that holds `path`."""
    for mount in container.get("volumeMounts", []):
        if path.startswith(mount["mountPath"].rstrip("/") + "/"):
            volume = next(v for v in pod["volumes"] if v["name"] == mount["name"])
            return volume.get("persistentVolumeClaim", {}).get("claimName")
    return None


def run_script(script, index, exit_code):
    """Runs `script` with a skelv-check that records its arguments and exits with `exit_code`."""
    with tempfile.TemporaryDirectory() as bin_dir:
        fake = os.path.join(bin_dir, "skelv-check")
        with open(fake, "w") as f:
            f.write(f'#!/bin/sh\nprintf "%s\\n" "$@" > "{bin_dir}/args"\nexit {exit_code}\n')
        os.chmod(fake, stat.S_IRWXU)
        env = dict(os.environ, PATH=bin_dir + ":" + os.environ["PATH"], JOB_COMPLETION_INDEX=str(index))
        code = subprocess.run(["/bin/sh", "-c", script], env=env).returncode
        with open(os.path.join(bin_dir, "args")) as f:
            return code, f.read().split("\n")[:-1]


shards = load("k8s-indexed-job.yaml")
shard_job = desired(shards)
check(shard_job.get("completionMode") == "Indexed", "completionMode must be Indexed")
completions, parallelism = shard_job.get("completions"), shard_job.get("parallelism")
check(isinstance(completions, int) and completions >= 1, "completions must be a positive number")
check(isinstance(parallelism, int) and 1 <= parallelism <= completions, "parallelism must be 1..completions")
pod, container = container_of("k8s-indexed-job.yaml", shards)
script = script_of("k8s-indexed-job.yaml", container)
match = re.search(r'--shard\s+"?\$\{?JOB_COMPLETION_INDEX\}?/(\d+)"?', script)
check(match is not None, "the shard argument comes from JOB_COMPLETION_INDEX")
check(match is None or int(match.group(1)) == completions, "--shard K/N needs N == completions")

for index in (0, completions - 1):
    for exit_code, pod_code in ((0, 0), (2, 0), (4, 0), (3, 3), (1, 1)):
        code, args = run_script(script, index, exit_code)
        check(code == pod_code, f"skelv-check exit {exit_code}: the pod should exit {pod_code}, not {code}")
    check(args[args.index("--shard") + 1] == f"{index}/{completions}", f"pod {index}: arguments {args}")
out = args[args.index("--out") + 1]
inputs = [a for a in args[args.index("--shard") + 2:] if not a.startswith("-") and not a.isdigit()]
claim = claim_of(pod, container, out)
check(claim is not None, f"--out {out} is not on a persistent volume")
check(all(claim_of(pod, container, i) == claim for i in inputs), "recordings and results share one volume")

merge = load("k8s-merge-job.yaml")
check(desired(merge).get("completionMode", "NonIndexed") == "NonIndexed", "the merge is one pod")
merge_pod, merge_container = container_of("k8s-merge-job.yaml", merge)
code, merge_args = run_script(script_of("k8s-merge-job.yaml", merge_container), 0, 4)
check(code == 0 and merge_args == ["merge", out], f"the merge should run skelv-check merge {out}: {merge_args}")
check(claim_of(merge_pod, merge_container, out) == claim, "the merge sees the shards' volume")

# One recording in parts: pod K of N writes part K+1/N, each to its own file, which the merge's
# pattern takes, all of them and nothing else.
parts = load("k8s-parts-job.yaml")
parts_job = desired(parts)
check(parts_job.get("completionMode") == "Indexed", "the parts' completionMode must be Indexed")
n = parts_job.get("completions")
parts_pod, parts_container = container_of("k8s-parts-job.yaml", parts)
parts_script = script_of("k8s-parts-job.yaml", parts_container)
part_files = []
for index in range(n):
    code, args = run_script(parts_script, index, 0)
    check(code == 0 and args[args.index("--part") + 1] == f"{index + 1}/{n}", f"part pod {index}: arguments {args}")
    part_files.append(args[args.index("--part-out") + 1])
    check(run_script(parts_script, index, 2)[0] != 0, "a part that could not be read fails its pod")
check(len(set(part_files)) == n, f"every part has a file of its own: {part_files}")
recording = args[-1]
parts_claim = claim_of(parts_pod, parts_container, part_files[0])
check(parts_claim is not None and claim_of(parts_pod, parts_container, recording) == parts_claim,
      "the recording and the parts share one persistent volume")
parts_merge = load("k8s-parts-merge-job.yaml")
parts_merge_pod, parts_merge_container = container_of("k8s-parts-merge-job.yaml", parts_merge)
code, merge_args = run_script(script_of("k8s-parts-merge-job.yaml", parts_merge_container), 0, 4)
check(code == 0 and merge_args[0] == "merge", f"the parts' merge should run skelv-check merge: {merge_args}")
patterns = [a for a in merge_args[1:] if "*" in a]
check(len(patterns) == 1 and all(fnmatch.fnmatch(f, patterns[0]) for f in part_files),
      f"the merge's pattern {patterns} takes every part {part_files}")
check(claim_of(parts_merge_pod, parts_merge_container, patterns[0] if patterns else "") == parts_claim,
      "the merge sees the parts' volume")

for p in problems:
    print("FAILED:", p, file=sys.stderr)
if not problems:
    print(f"Indexed Job of {completions} shards ({parallelism} at a time) and its merge, "
          f"{n} parts of one recording and their merge: consistent")
sys.exit(1 if problems else 0)
