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

use_display=0
if [ -n "${DISPLAY:-}" ] && command -v xdpyinfo >/dev/null && xdpyinfo >/dev/null 2>&1; then use_display=1; fi
export PONDREL_KEEP_DISPLAY=$use_display
exec bash tests/bench/wine-root.sh run bash tests/bench/wine-env.sh build/i686 bash scripts/sample-in-bench.sh "$root/build/sample"
