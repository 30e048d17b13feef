#!/usr/bin/env bash
# Builds the unit and integration tests with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-asan/ and runs them there. The
# programs the integration tests start (zarkell40, zk40-reg, the modules)
# are built the same way, so a fault in any of them fails its test.
#
#   scripts/sanitize.sh [ctest arguments...]     e.g. -R RegFile
#
# Leak checking is on. The only suppressions (scripts/sanitize/lsan.supp) are
# for memory that third-party libraries keep for the life of the process;
# our own code gets none.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$top/scripts/setup.sh"
build="$top/build-asan"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$top"
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZK40_SANITIZE=address,undefined \
  "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target zk40_unit_tests zk40_integration_tests zk40_shipped_modules

supp="$top/scripts/sanitize"
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:exitcode=86"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
