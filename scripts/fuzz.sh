#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# the given number of seconds, one after the other.
#
#   scripts/fuzz.sh SECONDS [TARGET...]
#
# Targets: regfile config actiondata arguments dateexpand archive (default:
# all). The seeds in fuzz/corpus/<target>/ are read first, so an input kept
# there after a fix is tried again on every run; what a run finds is added
# to build-fuzz/corpus/<target>/ only, never to the tree. A failing input is
# written to build-fuzz/artifacts/ and the script exits non-zero.
#
# FUZZ_NICE (default 10) is the nice level; FUZZ_MAX_LEN (default 8192) the
# longest input tried.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
top="$zk40_top"
all=(regfile config actiondata arguments dateexpand archive)
if (($# < 1)) || ! [[ "$1" =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [TARGET...]   (targets: ${all[*]})" >&2
  exit 2
fi
seconds="$1"
shift
targets=("$@")
((${#targets[@]})) || targets=("${all[@]}")
for t in "${targets[@]}"; do
  [[ -d "$top/fuzz/corpus/$t" ]] || { echo "unknown fuzz target: $t" >&2; exit 2; }
done

build="$top/build-fuzz"
CC=clang CXX=clang++ zk40_build "$build" -DZK40_FUZZ=ON -- "${targets[@]/#/zk40_fuzz_}"
zk40_sanitizer_env
mkdir -p "$build/artifacts"
failed=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work"
  echo "== fuzzing $t for ${seconds}s"
  log="$build/fuzz-$t.log"
  if nice -n "${FUZZ_NICE:-10}" "$build/fuzz/zk40_fuzz_$t" -max_total_time="$seconds" \
      -max_len="${FUZZ_MAX_LEN:-8192}" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t-" "$work" "$top/fuzz/corpus/$t" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done ' "$log" | tr '\n' ' '
    echo "-> $t ran clean"
  else
    tail -n 60 "$log"
    echo "-> $t FAILED (log: $log)"
    failed+=("$t")
  fi
done
if ((${#failed[@]})); then
  echo "fuzz targets that failed: ${failed[*]}" >&2
  exit 1
fi
