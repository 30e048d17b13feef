#!/usr/bin/env bash
# Builds the program and runs it; arguments are passed on (e.g. /debug).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$top/scripts/build.sh"
exec "$top/build/zarkell40" "$@"
