#!/usr/bin/env bash
# The main job on the bundled sample: builds both programs, builds the sample distribution into
# a setup program with PondrelMake (build/sample/KelmSampleSetup.exe) and runs that setup program
# under Wine. With a usable DISPLAY the windows show there and you answer them yourself;
# otherwise they run on a private X server, are answered automatically, and screenshots are
# saved in build/sample/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
bash scripts/build.sh all

out="$root/build/sample"
rm -rf "$out"
mkdir -p "$out/dist/bin"
cp -r sample/dist/. "$out/dist/"
# The tests run the 64-bit build under a 64-bit Wine; the shipped 32-bit build is
# build/i686/make/PondrelMake.exe.
cp build/x86_64/sample/sample_setup.exe "$out/dist/bin/setup.exe"
bash tests/bench/sign.sh "$root/build/certs" "$out/dist/bin/setup.exe"

use_display=0
if [ -n "${DISPLAY:-}" ] && command -v xdpyinfo >/dev/null && xdpyinfo >/dev/null 2>&1; then use_display=1; fi
export PONDREL_KEEP_DISPLAY=$use_display
exec bash tests/bench/wine-env.sh build/x86_64 bash scripts/sample-run.sh "$out"
