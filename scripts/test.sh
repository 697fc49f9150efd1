#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test under a private Wine bench.
#   scripts/test.sh [ctest arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
bash scripts/build.sh all
exec bash tests/bench/wine-env.sh build/x86_64 \
  ctest --test-dir build/x86_64 --output-on-failure --no-tests=error "$@"
