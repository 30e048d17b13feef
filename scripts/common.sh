# Sourced by the build, test and harness scripts: the checkout's top folder,
# the configure-and-build step every build folder shares, and the sanitizer
# settings of the harness.

zk40_top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# zk40_build DIR [CMAKE_ARGUMENT...] [-- TARGET...]
# Installs missing Debian packages, configures DIR (Release with debug info
# unless an argument says otherwise) and builds the targets (default: all).
zk40_build() {
  local dir="$1"
  shift
  local configure=() targets=()
  while (($#)) && [[ "$1" != "--" ]]; do
    configure+=("$1")
    shift
  done
  (($#)) && shift
  targets=("$@")
  "$zk40_top/scripts/setup.sh"
  # ccache is optional; where it is installed, checkouts of the same tree
  # share their compiled objects (paths are taken relative to the checkout).
  if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR="$zk40_top"
    # Debug information names the build folder; without this every folder
    # (and every checkout) would keep its own copies.
    export CCACHE_NOHASHDIR=1
    configure=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "${configure[@]}")
  fi
  cmake -S "$zk40_top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${configure[@]}" >/dev/null
  if ((${#targets[@]})); then
    cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"
  else
    cmake --build "$dir" -j"$(nproc)"
  fi
}

# A sanitizer report ends the process with exit code 86, so a test that
# trips one fails even where the program's own exit code is not checked
# for a crash. Leak checking is on. Suppressions are for third-party
# libraries only; each file says why for each of its lines.
zk40_sanitizer_env() {
  local supp="$zk40_top/scripts/sanitize"
  export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:exitcode=86"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86"
  export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=86:suppressions=$supp/tsan.supp"
  # Readable stack traces where the LLVM symbolizer is installed.
  if [[ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]]; then
    export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
  fi
}

# zk40_sanitized_ctest DIR [CTEST_ARGUMENT...]
# Runs ctest in a sanitizer build folder with the settings above. Every
# report is also written to DIR/sanitizer-reports/, so one from a process
# whose exit status no test looks at (a program a test kills, a helper it
# starts and forgets) fails the run as well.
zk40_sanitized_ctest() {
  local dir="$1"
  shift
  zk40_sanitizer_env
  local reports="$dir/sanitizer-reports"
  rm -rf "$reports"
  mkdir -p "$reports"
  local opt
  for opt in ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do
    export "$opt=${!opt}:log_path=$reports/${opt%%_*}"
  done
  local rc=0
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" "$@") || rc=$?
  if compgen -G "$reports/*" >/dev/null; then
    echo "Sanitizer reports (from $reports):" >&2
    head -n 80 "$reports"/* >&2
    rc=1
  fi
  return "$rc"
}
