#!/usr/bin/env bash
# Checks the files that go into the package with the tools that read them:
# the manual pages with groff and man, the desktop entry and the AppStream
# metainfo with their validators, and the service units (the shipped ones
# and the ones /register writes) with systemd-analyze. Any complaint fails.
#   check_files.sh SOURCE-DIR BUILD-DIR
set -uo pipefail
src=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
complain() { echo "FAIL: $*"; fail=1; }
quiet() {  # quiet WHAT COMMAND...: the command must succeed and print nothing
  local what=$1; shift
  local out
  out=$("$@" 2>&1) || { complain "$what: exit $?"; echo "$out"; return; }
  [ -z "$out" ] || { complain "$what"; echo "$out"; }
}

# Manual pages: one for each program users run, no warning from either tool.
for page in zarkell40 zk40 zk40-reg zk40-sign; do
  f=$src/man/$page.1
  [ -f "$f" ] || { complain "no manual page $f"; continue; }
  quiet "groff -ww $page.1" env LC_ALL=C.UTF-8 groff -ww -z -man -Tutf8 "$f"
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$f" 2>&1 >/dev/null)
  [ -z "$out" ] || { complain "man --warnings $page.1"; echo "$out"; }
  grep -q "^\.SH NAME" "$f" || complain "$page.1 has no NAME section"
done

# Every command and switch the programs' own help lists is in their pages.
covers() {  # covers PAGE WORD...
  local page=$1; shift
  for word in "$@"; do
    grep -qE "(\\\\fB|^\\.BR? |^\\.BI )${word//-/\\\\-}([ :\\\\\"]|$)" "$src/man/$page.1" ||
      complain "$page.1 does not describe $word"
  done
}
covers zarkell40 $(env HOME="$work" "$build/zarkell40" --help | grep -oE '^  (/[a-z]+|--[a-z]+)' | tr -d ' ')
if [ -x "$build/zk40" ]; then
  covers zk40 $("$build/zk40" --help 2>&1 | sed -n '/^Commands:/,/^$/p' | grep -oE '^  [a-z]+' | tr -d ' ')
fi

quiet "desktop-file-validate" desktop-file-validate "$src/share/desktop/zarkell40.desktop"
out=$(appstreamcli validate --no-net --pedantic "$src/share/desktop/zarkell40.metainfo.xml" 2>&1) ||
  { complain "appstreamcli validate"; echo "$out"; }
grep -q "^Icon=zarkell40$" "$src/share/desktop/zarkell40.desktop" || complain "desktop entry names another icon"
[ -f "$src/share/icons/hicolor/scalable/apps/zarkell40.svg" ] || complain "no scalable icon"
for size in 16 22 24 32 48 64 128 256; do
  png=$src/share/icons/hicolor/${size}x${size}/apps/zarkell40.png
  # The PNG header holds width and height, big-endian, at bytes 16..23.
  dims=$(od -An -tx1 -j16 -N8 "$png" 2>/dev/null | tr -d ' \n')
  [ "$dims" = "$(printf '%08x%08x' "$size" "$size")" ] || complain "$png is not ${size}x$size"
done

# Units: systemd-analyze reads them as systemd would. The manual page they
# name is looked up through MANPATH.
mkdir -p "$work/man/man1" "$work/run" && chmod 700 "$work/run"
cp "$src"/man/*.1 "$work/man/man1/"
export MANPATH=$work/man XDG_RUNTIME_DIR=$work/run
verify() {  # verify SCOPE UNIT-FILE
  local args=()
  [ "$1" = user ] && args=(--user)
  quiet "systemd-analyze verify $2" systemd-analyze "${args[@]}" verify "$2"
}
for kind in system user; do
  mkdir -p "$work/shipped-$kind"
  sed "s|@ZK40_EXEC@|$build/zarkell40|" "$src/share/systemd/zarkell40-$kind.service.in" \
    >"$work/shipped-$kind/zarkell40.service"
  verify "$kind" "$work/shipped-$kind/zarkell40.service"
done
for kind in system user; do
  for key in Type=notify Restart=on-failure "Documentation=man:zarkell40(1)" NoNewPrivileges=yes \
             ProtectSystem=strict PrivateTmp=yes "ExecStart=$build/zarkell40 /service"; do
    grep -qxF "$key" "$work/shipped-$kind/zarkell40.service" || complain "the $kind unit lacks $key"
  done
done
for key in StateDirectory=zarkell40 LogsDirectory=zarkell40 RuntimeDirectory=zarkell40 \
           Environment=ZK40_SYSTEMD_SCOPE=system; do
  grep -qxF "$key" "$work/shipped-system/zarkell40.service" || complain "the system unit lacks $key"
done
# The user unit's read-only system must leave the socket's folder writable.
grep -qxF "ReadWritePaths=%h %t" "$work/shipped-user/zarkell40.service" ||
  complain "the user unit keeps its runtime folder (%t) read-only"
grep -q "^After=network-online.target" "$work/shipped-system/zarkell40.service" ||
  complain "the system unit does not wait for the network"
! grep -q "network-online" "$work/shipped-user/zarkell40.service" ||
  complain "the user unit names network-online.target, which a user manager does not have"

# What /register writes, for each kind, with and without User=.
home=$work/home
mkdir -p "$home" && chmod 700 "$home"
reg() {  # reg SCOPE DIR ARGS...
  local scope=$1 dir=$2; shift 2
  env HOME="$home" XDG_DATA_HOME="$home/data" XDG_STATE_HOME="$home/state" XDG_RUNTIME_DIR="$work/run" \
    ZK40_NO_START_DELAY=1 ZK40_SYSTEMD_SCOPE="$scope" ZK40_SYSTEMD_UNIT_DIR="$dir" \
    "$build/zarkell40" /register "$@"
}
reg system "$work/reg-system" /user:daemon >"$work/out" 2>&1 || { complain "/register /user:daemon"; cat "$work/out"; }
grep -q "systemctl enable --now zarkell40.service" "$work/out" || { complain "/register printed no enable command"; cat "$work/out"; }
verify system "$work/reg-system/zarkell40.service"
grep -q "^User=daemon$" "$work/reg-system/zarkell40.service" || complain "/register /user:daemon wrote no User="
reg user "$work/reg-user" >"$work/out" 2>&1 || { complain "/register (user)"; cat "$work/out"; }
grep -q "systemctl --user enable --now zarkell40.service" "$work/out" || { complain "user /register printed no enable command"; cat "$work/out"; }
verify user "$work/reg-user/zarkell40.service"
if reg user "$work/reg-bad" /user:daemon >"$work/out" 2>&1; then complain "a user unit accepted /user:"; fi
if reg system "$work/reg-bad" /user:no-such-user-zk40 >"$work/out" 2>&1; then complain "/user: accepted an unknown user"; fi
[ ! -e "$work/reg-bad/zarkell40.service" ] || complain "a refused /register still wrote a unit"

exit $fail
