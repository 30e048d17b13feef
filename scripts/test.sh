#!/usr/bin/env bash
# Builds everything and runs every test, then the fault-finding harness
# briefly (scripts/harness.sh: sanitizers, fuzzing, kill -9 torture).
#
#   scripts/test.sh                     everything (what CI runs)
#   scripts/test.sh --tests-only        every test, no harness
#   scripts/test.sh CTEST_ARGUMENTS...  the tests ctest selects (e.g. -R Pattern), no harness
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
harness=1
if (($#)); then
  harness=0
  [[ "$1" == "--tests-only" ]] && shift
fi
zk40_build "$zk40_top/build"
(cd "$zk40_top/build" && ctest --output-on-failure -j"$(nproc)" "$@")
if ((harness)); then
  "$zk40_top/scripts/harness.sh"
fi
