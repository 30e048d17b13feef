#!/usr/bin/env bash
# Builds the tree with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ and runs the tests there (all but the package checks, which
# test packaging, not code). The programs and modules the integration tests
# start are built the same way, so a fault in any of them fails its test.
#
#   scripts/sanitize.sh [ctest arguments...]     e.g. -R RegFile
#
# Leak checking is on. The only suppressions (scripts/sanitize/lsan.supp) are
# for memory that third-party libraries keep for the life of the process;
# our own code gets none.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
zk40_build "$zk40_top/build-asan" -DZK40_SANITIZE=address,undefined
(($#)) || set -- -E '^Package\.'
zk40_sanitized_ctest "$zk40_top/build-asan" "$@"
