#!/usr/bin/env bash
# The sample run, inside a Wine bench (scripts/run-sample.sh starts one): puts the sample
# distribution together with its signed setup program, builds it into a setup program with
# PondrelMake and runs that. Needs a finished x86_64 build.
#   scripts/sample-run.sh <output-folder>
set -euo pipefail
out=$1
root=$(cd "$(dirname "$0")/.." && pwd)
tools="$root/build/x86_64/tests"
winpath() { echo "Z:$(realpath "$1" | sed 's|/|\\|g')"; }

rm -rf "$out"
mkdir -p "$out/dist/bin"
cp -r "$root/sample/dist/." "$out/dist/"
# The 64-bit build, which this 64-bit Wine runs; the shipped 32-bit programs are in build/i686.
cp "$root/build/x86_64/sample/sample_setup.exe" "$out/dist/bin/setup.exe"
bash "$root/tests/bench/sign.sh" "$root/build/certs" "$out/dist/bin/setup.exe"

echo "== PondrelMake -d dist -s setup.exe -o $out -c KelmSampleSetup.exe"
wine "$root/build/x86_64/make/PondrelMake.exe" -d "$(winpath "$out/dist")" -s setup.exe \
  -o "$(winpath "$out")" -c KelmSampleSetup.exe
echo "== built $out/KelmSampleSetup.exe ($(stat -c %s "$out/KelmSampleSetup.exe") bytes)"

echo "== running KelmSampleSetup.exe"
wine "$out/KelmSampleSetup.exe" &
setup=$!
if [ "${PONDREL_KEEP_DISPLAY:-0}" = 1 ]; then
  echo "   answer the setup's windows on your display"
else
  wine "$tools/wintest.exe" wait-window "Kelm Sample Client Setup" 60000 --class '#32770' >/dev/null
  import -window root "$out/sample-setup.png" || true
  wine "$tools/wintest.exe" click OK "Kelm Sample Client Setup" >/dev/null
  echo "   screenshot: $out/sample-setup.png"
fi
status=0
wait $setup || status=$?
installed="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Kelm Sample Client"
echo "== setup program exited with $status; installed files:"
ls -l "$installed" 2>/dev/null || echo "   (none)"
left=$(ls -d "$WINEPREFIX/drive_c/users/$(id -un)/Temp"/kel*.tmp 2>/dev/null || true)
[ -z "$left" ] && echo "== working folder removed" || echo "== working folder left behind: $left"
exit $status
