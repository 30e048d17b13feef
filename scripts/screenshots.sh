#!/usr/bin/env bash
# Pictures of the main window for the documentation, taken on a virtual X
# display: ./scripts/screenshots.sh [OUTPUT_FOLDER] (default docs/).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(realpath -m "${1:-$top/docs}")"
mkdir -p "$out"
display=":$((90 + RANDOM % 100))"
Xvfb "$display" -screen 0 1024x700x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
sleep 1
DISPLAY="$display" QT_QPA_PLATFORM=xcb "$top/build/tests/zk40_screenshots" "$out"
