#!/usr/bin/env bash
# The sample runs, inside a Wine bench (scripts/run-sample.sh starts one). Needs a finished
# build of the shipped 32-bit programs (build/i686) and of the native builder (build/linux).
#  1. Setup-file mode: the sample distribution with its signed setup program as bin\setup.exe,
#     built with the native builder (pondrelmake -s setup.exe) into KelmSampleSetup.exe, which runs
#     that setup file.
#  2. Distribution mode: the sample client (its signed installer package, setup.ini, launcher
#     settings and certificate), built with the native builder into KelmClientSetup.exe, which
#     installs the package, copies the certificate and starts the installed launcher.
#   scripts/sample-in-bench.sh <output-folder>
set -euo pipefail
out=$1
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/i686"
tools="$build/tests"
make="$root/build/linux/make/pondrelmake"
winpath() { echo "Z:$(realpath "$1" | sed 's|/|\\|g')"; }
interactive() { [ "${PONDREL_KEEP_DISPLAY:-0}" = 1 ]; }
# The Linux folder behind one of the prefix's folder variables (TEMP, APPDATA, ...): where they
# lie differs between Wine versions, so the prefix is asked.
prefix_folder() {
  local path
  path=$(wine cmd /c "echo %$1%" | tr -d '\r')
  echo "$WINEPREFIX/drive_c/$(echo "${path#?:\\}" | tr '\\' '/')"
}
temp=$(prefix_folder TEMP)

rm -rf "$out"
mkdir -p "$out/dist/bin" "$out/client"

echo "== 1. setup-file mode"
cp -r "$root/sample/dist/." "$out/dist/"
cp "$build/sample/sample_setup.exe" "$out/dist/bin/setup.exe"
bash "$root/tests/bench/sign.sh" "$root/build/certs" "$out/dist/bin/setup.exe"
echo "== pondrelmake -d dist -s setup.exe -o $out -c KelmSampleSetup.exe"
"$make" -d "$out/dist" -s setup.exe -o "$out" -c KelmSampleSetup.exe
echo "== built $out/KelmSampleSetup.exe ($(stat -c %s "$out/KelmSampleSetup.exe") bytes)"
echo "== running KelmSampleSetup.exe"
wine "$out/KelmSampleSetup.exe" &
setup=$!
if interactive; then
  echo "   answer the setup's windows on your display"
else
  wine "$tools/wintest.exe" wait-window "Kelm Sample Client Setup" 60000 --class '#32770' >/dev/null
  import -window root "$out/sample-setup.png" || true
  wine "$tools/wintest.exe" click OK "Kelm Sample Client Setup" >/dev/null
  echo "   screenshot: $out/sample-setup.png"
fi
status=0
wait $setup || status=$?
echo "== setup program exited with $status; installed files:"
ls -l "$(prefix_folder LOCALAPPDATA)/Kelm Sample Client" 2>/dev/null || echo "   (none)"
[ $status = 0 ] || exit $status

echo "== 2. distribution mode"
cp -r "$root/sample/client/." "$out/client/"
cp "$build/sample/KelmQuorda.msi" "$out/client/"
bash "$root/tests/bench/sign.sh" "$root/build/certs" "$out/client/KelmQuorda.msi"
echo "== pondrelmake -d client -o $out -c KelmClientSetup.exe"
"$make" -d "$out/client" -o "$out" -c KelmClientSetup.exe
echo "== running KelmClientSetup.exe"
wine "$out/KelmClientSetup.exe" &
setup=$!
if interactive; then
  echo "   the launcher opens on your display when the client is installed; close it to finish"
else
  wine "$tools/wintest.exe" wait-window KelmClientSetup 60000 --class MYPONDREL >/dev/null
  import -window root "$out/client-setup.png" || true
  wine "$tools/wintest.exe" wait-window "Kelm Sample Launcher" 60000 >/dev/null
  import -window root "$out/client-launcher.png" || true
  echo "   screenshots: $out/client-setup.png, $out/client-launcher.png"
fi
status=0
wait $setup || status=$?
# A 32-bit package, below the 32-bit Program Files folder.
installed="$(prefix_folder "ProgramFiles(x86)")/Kelm Sample/1.0/bin"
echo "== setup program exited with $status; installed client:"
ls -l "$installed" 2>/dev/null || echo "   (none)"
settings="$(prefix_folder APPDATA)/Kelm/Tarnel/Tarnel.cfg"
echo "== the user's launcher settings ($settings):"
cat "$settings" 2>/dev/null | iconv -f UTF-16 -t UTF-8 2>/dev/null || echo "   (none)"
interactive || wine "$tools/wintest.exe" close "Kelm Sample Launcher" >/dev/null 2>&1 || true

left=$(ls -d "$temp"/kel*.tmp 2>/dev/null || true)
[ -z "$left" ] && echo "== working folders removed" || echo "== working folders left behind: $left"
exit $status
