#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test on the shipped 32-bit build,
# inside the Wine root (tests/bench/wine-root.sh) under a private Wine bench.
#   scripts/test.sh [ctest arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The Wine root (minutes of downloads on a fresh machine) is made while the programs build.
bash scripts/install-deps.sh host
mkdir -p build
bash scripts/install-deps.sh wine > build/wine-root.log 2>&1 &
wine_root=$!
built=0
bash scripts/build.sh all || built=$?
wait $wine_root || { cat build/wine-root.log >&2; echo "can't make the Wine root" >&2; exit 1; }
[ $built = 0 ] || exit $built
# The unit tests share the outer bench; each end-to-end file makes its own, so that they run side by
# side: three at once, as a third of the time goes to waiting (for windows, timers, the Wine server).
rm -rf build/i686/test-times
status=0
bash tests/bench/wine-root.sh run bash tests/bench/wine-env.sh build/i686 \
  ctest --test-dir build/i686 --output-on-failure --no-tests=error --parallel 3 "$@" || status=$?
python3 tests/bench/slowest.py build/i686/test-times 10 || true
exit $status
