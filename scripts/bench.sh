#!/usr/bin/env bash
# Benchmarks, printed from one run: scripts/bench.sh [table|builder|unpack|tree-wait|merge] (table by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh >/dev/null
# The shipped 32-bit stub is measured too.
bash scripts/build.sh all >/dev/null
exec bash tests/bench/wine-root.sh run bash tests/bench/wine-env.sh build/i686 /usr/bin/python3 tests/bench/benchmarks.py "$@"
