#!/usr/bin/env bash
# The main job on the bundled sample: builds the shipped programs and the native builder, builds
# the sample distribution into a setup program with the native builder (build/linux/make/pondrelmake,
# as a publisher's Linux build machine does; build/sample/KelmSampleSetup.exe) and runs that setup
# program under Wine. With a usable DISPLAY the windows show there and you answer them yourself;
# otherwise they run on a private X server, are answered automatically, and screenshots are
# saved in build/sample/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The Wine root (minutes of downloads on a fresh machine) is made while the programs build; only
# what the sample needs is built.
bash scripts/install-deps.sh host
mkdir -p build
bash scripts/install-deps.sh wine > build/wine-root.log 2>&1 &
wine_root=$!
status=0
bash scripts/build.sh i686 PondrelMake sample_setup sample_package wintest || status=$?
[ $status != 0 ] || bash scripts/build.sh linux pondrelmake || status=$?
wait $wine_root || { cat build/wine-root.log >&2; echo "can't make the Wine root" >&2; exit 1; }
[ $status = 0 ] || exit $status

use_display=0
if [ -n "${DISPLAY:-}" ] && command -v xdpyinfo >/dev/null && xdpyinfo >/dev/null 2>&1; then use_display=1; fi
export PONDREL_KEEP_DISPLAY=$use_display
exec bash tests/bench/wine-root.sh run bash tests/bench/wine-env.sh build/i686 bash scripts/sample-in-bench.sh "$root/build/sample"
