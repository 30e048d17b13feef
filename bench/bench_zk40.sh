#!/usr/bin/env bash
# Whole-process figures of the zk40 command:
#   1. `zk40 list` (and `--json`) over a store of 10,000 jobs;
#   2. `zk40 add` while the program runs with 1,000 jobs loaded: how long until
#      the new job has taken effect in the running program (the add returns
#      once the program has taken the change in; then `zk40 run` of the new
#      job is accepted).
# Usage: bench/bench_zk40.sh [BUILD_DIR] [JOBS_FOR_LIST] [JOBS_LOADED]
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
list_jobs="${2:-10000}"
loaded_jobs="${3:-1000}"
zk40="$build/zk40"
zarkell="$build/zarkell40"
work="$(mktemp -d)"
pid=""
cleanup() {
  if [[ -n $pid ]]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

use_env() {  # a private store and runtime folder
  export XDG_DATA_HOME="$1/data" XDG_STATE_HOME="$1/state" XDG_RUNTIME_DIR="$1/run" TMPDIR="$1"
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
}

make_jobs() {  # N FILE: a .reg file of N daily jobs with one Run Program action each
  python3 - "$1" "$2" <<'PY'
import sys
n, path = int(sys.argv[1]), sys.argv[2]
root = "HKEY_CURRENT_USER\\Software\\DENTRAX-14\\Zarkell'40\\jobs"
out = ["REGEDIT4", ""]
for i in range(1, n + 1):
    k = f"{root}\\{i:08X}"
    out += [f"[{k}]", f'"Name"="bench job {i}"', '"SchedType"=dword:00000005',
            f'"Time"=dword:{(3600 * (i % 24) + 60 * (i % 60)):08x}', '"Flags"=dword:00000003',
            '"NumActions"=dword:00000001', "",
            f"[{k}\\A00000001]", '"Name"="Run true"', '"VendorID"="DNTRX-14"',
            '"ModuleID"="RUNPROG"', '"ActionID"="RUNPROGRAM"', "",
            f"[{k}\\A00000001\\RID]", '"RID-0001"="/bin/true"', ""]
open(path, "w").write("\n".join(out) + "\n")
PY
}

now_ms() { date +%s%3N; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# ---- 1. zk40 list with many jobs ----
use_env "$work/list"
make_jobs "$list_jobs" "$work/list.reg"
"$zk40" import "$work/list.reg" >/dev/null
for variant in "" "--json"; do
  times=()
  for _ in 1 2 3; do
    t0=$(now_ms); "$zk40" list $variant >/dev/null; t1=$(now_ms); times+=($((t1 - t0)))
  done
  lines=$("$zk40" list $variant | wc -l)
  printf 'zk40 list %-6s %6d jobs: median %5d ms of 3 runs (%s ms), %d lines\n' \
    "$variant" "$list_jobs" "$(printf '%s\n' "${times[@]}" | median)" "${times[*]}" "$lines"
done

# ---- 2. zk40 add while the program runs with many jobs ----
use_env "$work/add"
make_jobs "$loaded_jobs" "$work/add.reg"
"$zk40" import "$work/add.reg" >/dev/null
ZK40_NO_START_DELAY=1 "$zarkell" >"$work/instance.log" 2>&1 &
pid=$!
for _ in $(seq 600); do
  grep -q "System Initialization:  Completed" "$work/instance.log" && break
  sleep 0.1
done
grep -q "System Initialization:  Completed" "$work/instance.log" || { echo "the program did not start"; exit 1; }
adds=(); effects=()
for i in 1 2 3; do
  t0=$(now_ms)
  "$zk40" add "bench new $i" --kind manually -- /bin/true >/dev/null
  t1=$(now_ms)
  "$zk40" run "bench new $i" >/dev/null
  t2=$(now_ms)
  adds+=($((t1 - t0))); effects+=($((t2 - t0)))
done
printf 'zk40 add with %d jobs loaded: add returns after median %d ms (%s ms); run of the new job accepted after median %d ms (%s ms)\n' \
  "$loaded_jobs" "$(printf '%s\n' "${adds[@]}" | median)" "${adds[*]}" \
  "$(printf '%s\n' "${effects[@]}" | median)" "${effects[*]}"
