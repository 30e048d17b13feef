#!/usr/bin/env bash
# Peak memory of the program while it applies a large configuration file
# (a local update of about 15 MiB, within the 16 MiB configuration cap).
# Usage: bench/bench_config_memory.sh [build-dir] [MiB]
# Prints the file size and the peak resident size of the whole process.
set -euo pipefail
build="${1:-$(cd "$(dirname "$0")/.." && pwd)/build}"
mib="${2:-15}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export XDG_DATA_HOME="$work/data" XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/run" \
       TMPDIR="$work/tmp" HOME="$work" ZK40_NO_START_DELAY=1 ZK40_SHARE_DIR="$work/none"
mkdir -p "$XDG_RUNTIME_DIR" "$TMPDIR" && chmod 700 "$XDG_RUNTIME_DIR"
python3 - "$work/big.cfg" "$mib" <<'PY'
import sys
path, mib = sys.argv[1], int(sys.argv[2])
with open(path, "w") as f:
    n = 0
    while f.tell() < mib << 20:
        f.write("VENDORID: V%05d\nMODULEID: M\nNAME: module %d with a name of some length\n"
                "ACTIONID: A\nDESC: an action described in a line of ordinary length\n" % (n, n))
        n += 1
PY
K="HKCU\\Software\\DENTRAX-14\\Zarkell'40\\base"
"$build/zk40-reg" add "$K" /v LocalUpdate /d "file://$work/big.cfg" /f >/dev/null
"$build/zk40-reg" add "$K" /v ShippedModules /t REG_DWORD /d 1 /f >/dev/null
"$build/zk40-reg" add "$K" /v ConnType /t REG_DWORD /d 0 /f >/dev/null
/usr/bin/time -f "%M" -o "$work/rss" "$build/zarkell40" >"$work/out" 2>&1 &
pid=$!
for _ in $(seq 1 600); do
  grep -q "Local Update Mode\|Aborted" "$work/out" 2>/dev/null && break
  sleep 0.5
done
kill -TERM "$(pgrep -P $pid zarkell40 || echo $pid)" 2>/dev/null || true
wait $pid || true
echo "configuration: $(stat -c %s "$work/big.cfg") bytes"
echo "peak resident: $(( $(cat "$work/rss") / 1024 )) MiB"
grep -c "Completed\|Local Update Mode" "$work/out" >/dev/null || { echo "the update did not complete:"; tail -5 "$work/out"; }
