#!/usr/bin/env bash
# Builds the unit tests with ThreadSanitizer into build-tsan/ and runs the
# tests where threads meet: the scheduler, the job threads, the locks, the
# module host's services and whole update runs (the update worker).
#
#   scripts/tsan.sh [ctest -R pattern]
#
# Qt and SQLite are not built with ThreadSanitizer; the only suppressions
# (scripts/sanitize/tsan.supp) are for races it reports inside them, whose
# locking it cannot see.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
zk40_build "$zk40_top/build-tsan" -DZK40_SANITIZE=thread -- zk40_unit_tests
zk40_sanitized_ctest "$zk40_top/build-tsan" \
  -R "${1:-SchedulerFixture|JobRunners|ThreadTest|SyncTest|JobFixture|ActionFixture|RunProgramModule|ModuleHostFixture|UpdateRunFixture}"
