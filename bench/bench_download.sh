#!/usr/bin/env bash
# Download throughput of the program's fetch against `curl -o`, both taking
# the same large file from the same loopback server in the same run.
#
# Usage:
#   cmake --build build --target bench_fetch     # this script builds nothing
#   bench/bench_download.sh [BUILD_DIR]          # default: build
#
# Environment:
#   ZK40_BENCH_MB    size of the file in MiB (default 200)
#   ZK40_BENCH_RUNS  downloads per client, alternating (default 3)
#
# Prints each download's rate, the median rate of each client and the ratio
# fetch / curl. The ratio is the figure to compare between machines: the
# absolute rates depend on the machine and on its load. Both downloads are
# checked byte for byte against the served file.
#
# Needs python3 (the server: a few lines that answer with sendfile, so the
# server is never the slower side) and curl.
set -euo pipefail

BUILD_DIR=${1:-build}
DRIVER="$BUILD_DIR/bench/bench_fetch"
MB=${ZK40_BENCH_MB:-200}
RUNS=${ZK40_BENCH_RUNS:-3}

if [[ ! -x "$DRIVER" ]]; then
    echo "bench_download: $DRIVER not found; build it first: cmake --build $BUILD_DIR --target bench_fetch" >&2
    exit 1
fi
for tool in python3 curl cmp; do
    if ! command -v "$tool" >/dev/null; then
        echo "bench_download: $tool is needed but not installed" >&2
        exit 1
    fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zk40-bench-download-XXXXXX")
SERVER_PID=""
cleanup() {
    if [[ -n "$SERVER_PID" ]]; then
        kill "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

echo "Generating $MB MiB of random data..."
head -c $((MB * 1024 * 1024)) /dev/urandom >"$WORK/big.bin"

cat >"$WORK/server.py" <<'EOF'
import socket, sys, threading, os
path = sys.argv[1]
size = os.path.getsize(path)
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", 0))
srv.listen(16)
print(srv.getsockname()[1], flush=True)

def serve(conn):
    with conn:
        req = b""
        while b"\r\n\r\n" not in req:
            chunk = conn.recv(4096)
            if not chunk:
                return
            req += chunk
        target = req.split(b" ")[1]
        if target != b"/big.bin":
            conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                     b"Content-Length: %d\r\nConnection: close\r\n\r\n" % size)
        with open(path, "rb") as f:
            conn.sendfile(f)

while True:
    c, _ = srv.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
EOF

python3 "$WORK/server.py" "$WORK/big.bin" >"$WORK/port" 2>"$WORK/server.log" &
SERVER_PID=$!
for _ in $(seq 50); do
    [[ -s "$WORK/port" ]] && break
    sleep 0.1
done
PORT=$(head -n1 "$WORK/port")
if [[ -z "$PORT" ]]; then
    echo "bench_download: the loopback server did not start:" >&2
    cat "$WORK/server.log" >&2
    exit 1
fi
URL="http://127.0.0.1:$PORT/big.bin"
echo "Serving $URL"

fetch_rate() {
    local out="$WORK/fetch.json"
    if ! TMPDIR="$WORK" ZK40_BENCH_URL="$URL" ZK40_BENCH_KEEP="$WORK/out.fetch" \
        "$DRIVER" --benchmark_out="$out" --benchmark_out_format=json >"$WORK/fetch.log" 2>&1; then
        echo "bench_download: bench_fetch failed:" >&2
        cat "$WORK/fetch.log" >&2
        exit 1
    fi
    python3 - "$out" <<'EOF'
import json, sys
b = json.load(open(sys.argv[1]))["benchmarks"][0]
if b.get("error_occurred"):
    sys.exit("bench_fetch: " + b.get("error_message", "failed"))
print("%.0f" % b["bytes_per_second"])
EOF
    if ! cmp -s "$WORK/out.fetch" "$WORK/big.bin"; then
        echo "bench_download: the fetched file differs from the served one" >&2
        exit 1
    fi
    rm -f "$WORK/out.fetch"
}

curl_rate() {
    local rate
    rate=$(curl --silent --show-error --fail --noproxy '*' -o "$WORK/out.curl" \
        -w '%{speed_download}' "$URL")
    if ! cmp -s "$WORK/out.curl" "$WORK/big.bin"; then
        echo "bench_download: the file curl fetched differs from the served one" >&2
        exit 1
    fi
    rm -f "$WORK/out.curl"
    printf '%.0f\n' "$rate"
}

mib() { python3 -c "print('%.1f' % ($1 / 1048576))"; }

FETCH_RATES=()
CURL_RATES=()
for i in $(seq "$RUNS"); do
    f=$(fetch_rate)
    c=$(curl_rate)
    FETCH_RATES+=("$f")
    CURL_RATES+=("$c")
    echo "run $i: fetch $(mib "$f") MiB/s, curl -o $(mib "$c") MiB/s"
done

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
FM=$(median "${FETCH_RATES[@]}")
CM=$(median "${CURL_RATES[@]}")
echo "median over $RUNS runs of $MB MiB:"
echo "  fetch    $(mib "$FM") MiB/s"
echo "  curl -o  $(mib "$CM") MiB/s"
python3 -c "print('  ratio fetch/curl = %.2f' % ($FM / $CM))"
