#!/usr/bin/env bash
# Builds the Debian package and tries it as a user of a fresh machine would:
# installs it into a throw-away root with dpkg, runs the installed program
# from a fresh home until a job has run with the installed shipped module,
# builds an action module against the installed development files, then
# removes the package and checks that nothing of it is left.
#   deb_install.sh SOURCE-DIR BUILD-DIR MODULE-CHECK
set -uo pipefail
src=$1 build=$2 check=$3
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
die() { echo "FAIL: $*"; exit 1; }
# Polls a condition for up to a minute: the program runs in the background.
wait_for() {
  for _ in $(seq 600); do eval "$1" && return 0; sleep 0.1; done
  return 1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; die "cpack"; }
deb=$(ls "$work"/pkg/*.deb)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
echo "Installed-Size: $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6core6 libqt6gui6 libqt6widgets6 libsqlite3 libcurl4 libzip4 libsystemd0; do
  [[ "$depends" == *"$lib"* ]] || die "Depends lacks $lib: $depends"
done
# Nothing runs at install or removal.
scripts=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E '(pre|post)(inst|rm)$' || true)
[ -z "$scripts" ] || die "maintainer scripts: $scripts"

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
if [ "$(id -u)" = 0 ]; then
  dpkg --root="$root" --force-depends --log=/dev/null -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; die "dpkg -i"; }
  removable=1
else
  dpkg-deb -x "$deb" "$root" || die "dpkg-deb -x"
  removable=0
fi

for f in usr/bin/zarkell40 usr/bin/zk40-reg usr/bin/zk40-sign \
         usr/share/applications/zarkell40.desktop \
         usr/share/metainfo/net.dentrax14.zarkell40.metainfo.xml \
         usr/share/icons/hicolor/scalable/apps/zarkell40.svg \
         usr/share/icons/hicolor/48x48/apps/zarkell40.png \
         usr/share/man/man1/zarkell40.1 usr/share/man/man1/zk40.1 \
         usr/share/man/man1/zk40-reg.1 usr/share/man/man1/zk40-sign.1 \
         usr/lib/systemd/system/zarkell40.service usr/lib/systemd/user/zarkell40.service \
         usr/share/zarkell40/update.cfg usr/share/zarkell40/modules/runprog.zkz \
         usr/share/zarkell40/help/index.html usr/share/doc/zarkell40/copyright \
         usr/include/zk40/module.h; do
  [ -e "$root/$f" ] || die "the package lacks /$f"
done
[ ! -e "$build/zk40" ] || [ -e "$root/usr/bin/zk40" ] || die "the package lacks /usr/bin/zk40"
window=$(ls "$root"/usr/lib/*/zarkell40/window/zarkell40-window.so "$root"/usr/lib/zarkell40/window/zarkell40-window.so 2>/dev/null | head -1)
[ -n "$window" ] || die "the package lacks the window object (zarkell40-window.so)"
ls "$root"/usr/lib/*/cmake/Zarkell40/Zarkell40Config.cmake >/dev/null 2>&1 ||
  ls "$root"/usr/lib/cmake/Zarkell40/Zarkell40Config.cmake >/dev/null 2>&1 || die "no CMake package config"
# The desktop entry, icons and metainfo agree with each other as installed.
appstreamcli validate-tree --no-net "$root" >"$work/as.log" 2>&1 || { cat "$work/as.log"; die "appstreamcli validate-tree"; }
grep -q '^ExecStart=/usr/bin/zarkell40 /service$' "$root/usr/lib/systemd/system/zarkell40.service" ||
  die "the shipped system unit does not start /usr/bin/zarkell40"
if grep -rlF "$build" "$root/usr" >"$work/refs"; then
  cat "$work/refs"; die "installed files name the build tree"
fi

# A fresh home, and nothing from the build tree in reach.
home=$work/home
mkdir -p "$home/run" "$home/tmp" && chmod -R 700 "$home"
clean_env=(env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$home/run" TMPDIR="$home/tmp"
           ZK40_NO_START_DELAY=1 LANG=C.UTF-8)
run() { "${clean_env[@]}" "$@"; }
# In the background, with $pid the program's own process (env execs it).
launch() {  # launch LOG ARGS...
  local log=$1; shift
  "${clean_env[@]}" "$root/usr/bin/zarkell40" "$@" >"$log" 2>&1 &
  pid=$!
}
launch "$work/first.log"
wait_for 'grep -q "SysUpd:  Action Loaded." "$work/first.log"' ||
  { cat "$work/first.log"; die "the installed program did not load its shipped module"; }

reg() { run "$root/usr/bin/zk40-reg" "$@"; }
stop() {
  kill -TERM "$pid"
  wait "$pid"; local rc=$?
  pid=
  [ "$rc" = 0 ] || die "the program exited $rc on SIGTERM"
}
P="HKCU\\Software\\DENTRAX-14\\Zarkell'40"
K="$P\\jobs\\0000002A"
reg query "$P\\actions\\DNTRX-14\\RUNPROG" /v URL >"$work/url" 2>&1
grep -qF "file://$root/usr/share/zarkell40/modules/runprog.zkz" "$work/url" ||
  { cat "$work/url"; die "the module did not come from the installed share folder"; }
stop
# With a display the installed program loads its installed window object
# (the connection question of a first start is cancelled by the stop).
"${clean_env[@]}" QT_QPA_PLATFORM=offscreen "$root/usr/bin/zarkell40" >"$work/window.log" 2>&1 &
pid=$!
wait_for '[ -S "$home/run/DX14-ZK40-Instance" ]' || { cat "$work/window.log"; die "the windowed start did not listen"; }
grep -qF "$window" "/proc/$pid/maps" || { cat "$work/window.log"; die "the windowed start did not load $window"; }
stop
reg add "$K" /v Name /d "Greeting" /f >/dev/null
reg add "$K" /v SchedType /t REG_DWORD /d 0 /f >/dev/null
reg add "$K" /v NumActions /t REG_DWORD /d 1 /f >/dev/null
reg add "$K\\A00000001" /v VendorID /d DNTRX-14 /f >/dev/null
reg add "$K\\A00000001" /v ModuleID /d RUNPROG /f >/dev/null
reg add "$K\\A00000001" /v ActionID /d RUNPROGRAM /f >/dev/null
reg add "$K\\A00000001\\RID" /v RID-0001 /d /bin/echo /f >/dev/null
reg add "$K\\A00000001\\RID" /v RID-0002 /d "hello from the package" /f >/dev/null
launch "$work/second.log"
wait_for '[ -S "$home/run/DX14-ZK40-Instance" ]' || { cat "$work/second.log"; die "the second start did not listen"; }
run "$root/usr/bin/zarkell40" /runjob:Greeting >"$work/handover.log" 2>&1 ||
  { cat "$work/handover.log"; die "/runjob"; }
child() { reg query "$K\\A00000001\\CHILDREN" /v CHILD-00001 2>/dev/null | grep -q "hello from the package"; }
wait_for child || { cat "$work/second.log"; reg query "$K" /s; die "the job did not run"; }
reg query "$K\\A00000001" /v Status | grep -q "Completed: exit code 0" || die "the job's action did not complete"
stop
[ -f "$home/.local/share/zarkell40/store.db" ] || die "no store in the fresh home"
ls "$home"/.local/share/zarkell40/actions/ZKA*.dll >/dev/null 2>&1 || die "no installed module in the fresh home"

# A module project outside the source tree, against the installed files.
cmake -S "$src/tests/sdk" -B "$work/sdk" -DCMAKE_PREFIX_PATH="$root/usr" >"$work/sdk.log" 2>&1 &&
  cmake --build "$work/sdk" >>"$work/sdk.log" 2>&1 || { cat "$work/sdk.log"; die "building a module against the SDK"; }
grep -qF "$root/usr/bin/zk40-sign" "$work/sdk.log" "$work/sdk/CMakeCache.txt" "$work"/sdk/CMakeFiles/greeter.dir/build.make ||
  die "the module was not signed with the installed zk40-sign"
"$check" "$work/sdk/greeter.so" GREET "package" >"$work/check.log" 2>&1 || { cat "$work/check.log"; die "the SDK module did not load and run"; }
for want in "trailer: passes" "vendor: SDKTEST" "run: 1" "status: Greeted" "child 1: Hello, package"; do
  grep -qF "$want" "$work/check.log" || { cat "$work/check.log"; die "module check lacks: $want"; }
done

if [ "$removable" = 1 ]; then
  dpkg --root="$root" --log=/dev/null --purge zarkell40 >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; die "dpkg --purge"; }
  left=$(find "$root" -path "$root/var/lib/dpkg" -prune -o \( -type f -o -type l \) -print)
  [ -z "$left" ] || { echo "$left"; die "files left after removal"; }
  find "$root" -path "$root/var/lib/dpkg" -prune -o -type d -iname '*zarkell*' -print | grep -q . &&
    die "folders left after removal"
  [ -f "$home/.local/share/zarkell40/store.db" ] || die "removal took the user's store"
fi
echo "OK"
