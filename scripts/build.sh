#!/usr/bin/env bash
# Configures and builds the project into build/ (Release with debug info).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
zk40_build "$zk40_top/build"
