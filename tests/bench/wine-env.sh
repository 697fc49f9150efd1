#!/usr/bin/env bash
# Runs a command inside a private Wine bench: a fresh 64-bit prefix copied from a template
# (made once per build folder), a private Xvfb display and a persistent wineserver. Everything is
# stopped and removed when the command ends.
#   tests/bench/wine-env.sh <build-dir> <command> [args...]
# The command sees WINEPREFIX, DISPLAY, WINEDEBUG, WINEDLLOVERRIDES and PONDREL_BENCH_DIR.
set -euo pipefail

build_dir=$(cd "$1" && pwd)
shift

# Debian's Wine 10 keeps its server off PATH.
for dir in /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine; do
  [ -x "$dir/wineserver" ] && PATH="$PATH:$dir"
done
export PATH
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
export WINEARCH=win64
export LC_ALL=${LC_ALL:-en_US.UTF-8}

template="$build_dir/wine-template"
if [ ! -f "$template/.ready" ]; then
  rm -rf "$template"
  # Booted without a display: with one, wineboot shows an update window.
  env -u DISPLAY WINEPREFIX="$template" wineboot -i >/dev/null 2>&1
  WINEPREFIX="$template" wineserver -w
  # Without a window manager the managed mode adds seconds to every box.
  env -u DISPLAY WINEPREFIX="$template" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  WINEPREFIX="$template" wineserver -w
  touch "$template/.ready"
fi

bench=$(mktemp -d /tmp/pondrel-bench.XXXXXX)
export PONDREL_BENCH_DIR="$bench"
export WINEPREFIX="$bench/prefix"
cp -a "$template" "$WINEPREFIX"

xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" >/dev/null 2>&1 || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$bench"
}
trap cleanup EXIT

if [ "${PONDREL_KEEP_DISPLAY:-0}" = 1 ]; then
  wineserver -p
  "$@"
  exit
fi

# A private X server on a display number it picks itself, so that benches started side by side
# never race for one.
exec {display_fd}<> <(:)
Xvfb -displayfd "$display_fd" -screen 0 1280x800x24 -nolisten tcp >"$bench/xvfb.log" 2>&1 &
xvfb_pid=$!
read -r -t 30 -u "$display_fd" display || { echo "the X server did not start" >&2; exit 1; }
exec {display_fd}>&-
export DISPLAY=":$display"

wineserver -p
wine cmd /c exit 0 >/dev/null 2>&1 || true
if [ -f "$build_dir/tests/keepalive.exe" ]; then
  wine "$build_dir/tests/keepalive.exe" >/dev/null 2>&1 &
  sleep 1
fi

"$@"
