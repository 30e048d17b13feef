#!/usr/bin/env bash
# Configures and builds the project into build/ (Release with debug info).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$top/scripts/setup.sh"
launcher=()
# ccache is optional; where it is installed, checkouts of the same tree share
# their compiled objects (paths are taken relative to the checkout).
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$top"
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$top/build" -j"$(nproc)"
