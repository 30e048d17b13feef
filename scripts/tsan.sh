#!/usr/bin/env bash
# Builds the unit tests with ThreadSanitizer into build-tsan/ and runs the
# tests of the scheduler, the job threads, the locks and the module host's
# services, where threads meet.
#
#   scripts/tsan.sh [ctest -R pattern]
#
# Qt and SQLite are not built with ThreadSanitizer; the only suppressions
# (scripts/sanitize/tsan.supp) are for races it reports inside them, whose
# locking it cannot see.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$top/scripts/setup.sh"
build="$top/build-tsan"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$top"
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZK40_SANITIZE=thread \
  "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target zk40_unit_tests
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=86:suppressions=$top/scripts/sanitize/tsan.supp"
cd "$build"
ctest --output-on-failure -j"$(nproc)" -R "${1:-SchedulerFixture|ThreadTest|SyncTest|JobFixture|ActionFixture|RunProgramModule}"
