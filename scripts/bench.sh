#!/usr/bin/env bash
# Benchmarks, printed from one run: scripts/bench.sh builder|unpack|tree-wait
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh >/dev/null
bash scripts/build.sh x86_64 >/dev/null
exec bash tests/bench/wine-env.sh build/x86_64 /usr/bin/python3 tests/bench/benchmarks.py "$@"
