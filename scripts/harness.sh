#!/usr/bin/env bash
# The fault-finding harness, briefly: every test under ASan + UBSan, the
# thread tests under TSan, each fuzz target for a short time and a few kill -9
# torture cycles on build/ (scripts/build.sh first). Each step runs even when
# an earlier one failed; the exit status is non-zero when any failed, and the
# last lines give each step's result and time.
#
#   scripts/harness.sh
#
# HARNESS_FUZZ_SECONDS (default 20) is each fuzz target's time and
# HARNESS_TORTURE_CYCLES (default 6) the torture's cycles. For long runs call
# the scripts themselves (see the README).
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
fuzz_seconds="${HARNESS_FUZZ_SECONDS:-20}"
torture_cycles="${HARNESS_TORTURE_CYCLES:-6}"

results=()
failed=0
step() {
  local name="$1" began=$SECONDS rc
  shift
  echo "==== harness: $name"
  "$@"
  rc=$?
  ((rc == 0)) || failed=1
  results+=("$(printf '%-28s %-6s %4d s' "$name" "$( ((rc == 0)) && echo ok || echo FAILED)" $((SECONDS - began)))")
}

step "ASan + UBSan tests" "$zk40_top/scripts/sanitize.sh"
step "TSan thread tests" "$zk40_top/scripts/tsan.sh"
step "fuzzing (${fuzz_seconds} s a target)" "$zk40_top/scripts/fuzz.sh" "$fuzz_seconds"
step "kill -9 torture (${torture_cycles} cycles)" \
  python3 "$zk40_top/bench/torture_kill9.py" "$torture_cycles" --strict --bin "$zk40_top/build"

echo "==== harness results"
printf '  %s\n' "${results[@]}"
exit "$failed"
