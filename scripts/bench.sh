#!/usr/bin/env bash
# Benchmarks, printed from one run: scripts/bench.sh [table|builders|tree-wait|merge] (table by
# default; builders measures only the three builders against zip, quickly).
# The table measures the shipped i686 programs and the x86_64 build side by side on four shapes
# of distribution and a 100,000-file set (about an hour on the 2-core machine; the generated
# distributions are kept in $PONDREL_SHAPES, /tmp/pondrel-shapes by default, for the next run).
# PONDREL_BENCH_RUNS sets how many runs each median takes (3), PONDREL_BENCH_SHAPES which shapes
# run (bench,half-random,client-like,many-files,huge), PONDREL_BENCH_ARCHS which builds (i686,x86_64).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh >/dev/null
bash scripts/build.sh all >/dev/null
# The user's temporary folder goes on a fresh journaled ext4 image (see tests/bench/table.py),
# made here: the Wine root has no mkfs.
image=$(mktemp /tmp/pondrel-bench-ext4.XXXXXX)
trap 'rm -f "$image"' EXIT
truncate -s 8G "$image"
mkfs.ext4 -q -F "$image"
PONDREL_BENCH_IMAGE=$image bash tests/bench/wine-root.sh run bash tests/bench/wine-env.sh build/i686 /usr/bin/python3 tests/bench/benchmarks.py "$@"
