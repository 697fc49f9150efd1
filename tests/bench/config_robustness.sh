#!/usr/bin/env bash
# Robustness run of the launcher file's reader and writer (not a CI test): random inputs and
# mutations of the seed corpus go through read, write and read again in one process under Wine.
# Any crash, refused readable input or second read that differs from the first fails the run.
#   tests/bench/config_robustness.sh [count] [seed]     (defaults: 200000, the current time)
# Set LC_ALL (e.g. ru_RU.UTF-8) to run under another ANSI code page.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${PONDREL_BUILD_DIR:-$root/build/i686}
count=${1:-200000}
seed=${2:-$(date +%s)}
probe="$build/tests/config_probe.exe"
[ -f "$probe" ] || { echo "build first: $probe is missing" >&2; exit 1; }

# Failing inputs are saved in the current folder; keep them out of the source tree.
mkdir -p "$build/config-robustness"
cd "$build/config-robustness"
SECONDS=0
status=0
bash "$root/tests/bench/wine-root.sh" run bash "$root/tests/bench/wine-env.sh" "$build" wine "$probe" roundtrip "$seed" "$count" "Z:$root/tests/setup/config/corpus" || status=$?
# A crash ends the probe before its summary line: the status tells (5 for an access violation).
echo "exit status $status after $SECONDS s in all, Wine start included"
exit "$status"
