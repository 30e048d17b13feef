#!/usr/bin/env bash
# Runs the side-by-side harness for Debian's cron and for this program,
# alternately, and prints one table of the figures with their ratios.
#
#   bench/compare_cron.sh [-r RUNS] [-n JOBS] [--idle-minutes M] [--no-burst] [--no-idle] [BUILD_DIR]
#   bench/compare_cron.sh --table RESULTS_DIR   (the table of an earlier run again)
#
# Needs root (cron runs in a private mount namespace) and the harness in
# ../shared/bench-peers beside the checkout (PEERS_DIR overrides). Installs
# cron when it is missing. Each run of each side is its own process with a
# throw-away home; absolute times drift on shared machines, so compare the
# ratios, and read the busy share: 1.00 means other work competed.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
peers="${PEERS_DIR:-$top/../shared/bench-peers}"
runs=3 n=1000 idle_min=3 burst=1 idle=1 build="$top/build" table=""
while (($#)); do
  case "$1" in
    -r) runs="$2"; shift 2 ;;
    -n) n="$2"; shift 2 ;;
    --idle-minutes) idle_min="$2"; shift 2 ;;
    --no-burst) burst=0; shift ;;
    --no-idle) idle=0; shift ;;
    --table) table="$2"; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    -*) echo "compare_cron.sh: unknown option $1" >&2; exit 2 ;;
    *) build="$1"; shift ;;
  esac
done
if [[ -n "$table" ]]; then runs=0; out="$table"; else
  [[ $(id -u) -eq 0 ]] || { echo "compare_cron.sh: needs root (cron runs in a private namespace)" >&2; exit 1; }
  [[ -x "$peers/cron_burst.sh" ]] || { echo "compare_cron.sh: no harness at $peers" >&2; exit 1; }
  [[ -x "$build/zarkell40" ]] || { echo "compare_cron.sh: no program in $build (run scripts/build.sh)" >&2; exit 1; }
  if ! command -v cron >/dev/null && [[ ! -x /usr/sbin/cron ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cron >/dev/null
  fi
  out="$(mktemp -d /tmp/zk40-compare.XXXXXX)"
  echo "results in $out"
fi
for ((i = 1; i <= runs; i++)); do
  if ((burst)); then
    echo "run $i/$runs: cron burst ($n jobs)"
    "$peers/cron_burst.sh" -n "$n" --no-idle --out "$out/cron" >"$out/cron_burst_$i.log" 2>&1 ||
      echo "  failed: see $out/cron_burst_$i.log"
    echo "run $i/$runs: zarkell40 burst ($n jobs)"
    python3 "$peers/zk_burst.py" "$build" -n "$n" --no-idle --out "$out/zk" >"$out/zk_burst_$i.log" 2>&1 ||
      echo "  failed: see $out/zk_burst_$i.log"
  fi
  if ((idle)); then
    echo "run $i/$runs: cron idle ($idle_min min)"
    "$peers/cron_burst.sh" --no-burst --idle-minutes "$idle_min" --out "$out/cron" >"$out/cron_idle_$i.log" 2>&1 ||
      echo "  failed: see $out/cron_idle_$i.log"
    echo "run $i/$runs: zarkell40 idle ($idle_min min)"
    python3 "$peers/zk_burst.py" "$build" --no-burst --idle-s "$((idle_min * 60))" --out "$out/zk" >"$out/zk_idle_$i.log" 2>&1 ||
      echo "  failed: see $out/zk_idle_$i.log"
  fi
done
python3 - "$out" <<'PY'
import os, pathlib, sys
out = pathlib.Path(sys.argv[1])
ncpu = os.cpu_count() or 1

def runs(side):
    got = []
    for f in sorted((out / side).glob("*/results.env")):
        d = {}
        for line in f.read_text().splitlines():
            if "=" in line:
                k, v = line.split("=", 1)
                d[k] = v.strip().strip('"').strip("'")
        got.append(d)
    return got

def num(d, *keys):
    for k in keys:
        try:
            return float(d[k])
        except (KeyError, ValueError):
            pass
    return None

def busy(d):
    if "machine_busy_share" in d:
        return num(d, "machine_busy_share")
    t, w, hz = num(d, "machine_busy_ticks"), num(d, "window_us"), num(d, "clk_tck")
    return t / hz / (w / 1e6 * ncpu) if t is not None and w and hz else None

cron, zk = runs("cron"), runs("zk")
rows = [  # figure, cron keys, our keys, scale, unit, goal
    ("p99 start delay", ["delay_p99_ns"], ["delay_p99_ns"], 1e-9, "s", "<= 0.6 s and <= 1/10 of cron"),
    ("first start after due", ["delay_first_ns"], ["delay_first_ns"], 1e-9, "s", "<= 0.2 s"),
    ("burst CPU, daemon+children", ["cpu_total_s", "cpu_cgroup_s"], ["cpu_cgroup_s"], 1, "s", "<= 1/4 of cron"),
    ("daemon peak memory (burst)", ["daemon_vmhwm_kB"], ["daemon_vmhwm_kB"], 1 / 1024, "MB", "<= 24 MB"),
    ("idle CPU", ["idle_cpu_s_per_hour_schedstat"], ["idle_cpu_s_per_hour_schedstat"], 1, "CPU-s/h", "<= cron"),
    ("resident memory at rest", ["idle_daemon_vmrss_kB"], ["idle_vmrss_kB"], 1 / 1024, "MB", "<= 32 MB"),
]

def span(vals):
    vals = [v for v in vals if v is not None]
    if not vals:
        return "-"
    lo, hi = min(vals), max(vals)
    f = (lambda x: f"{x:.3g}")
    return f(lo) if lo == hi else f"{f(lo)}-{f(hi)}"

print()
print(f"{'figure':30} {'cron':>16} {'zarkell40':>16} {'ratio zk/cron':>16}  goal")
for name, ck, zk_, scale, unit, goal in rows:
    cv = [num(d, *ck) for d in cron if num(d, *ck) is not None]
    zv = [num(d, *zk_) for d in zk if num(d, *zk_) is not None]
    cv = [v * scale for v in cv]
    zv = [v * scale for v in zv]
    ratios = [z / c for z, c in zip(zv, cv) if c]
    print(f"{name:30} {span(cv) + ' ' + unit:>16} {span(zv) + ' ' + unit:>16} {span(ratios):>16}  {goal}")
bc = span([busy(d) for d in cron if "delay_p99_ns" in d])
bz = span([busy(d) for d in zk if "delay_p99_ns" in d])
print(f"\nmachine busy share during the bursts (1.00 = other work competed): cron {bc}, zarkell40 {bz}")
PY
