#!/usr/bin/env bash
# Builds the programs for one target or both: scripts/build.sh [x86_64|i686|all]
# i686 is the shipped 32-bit build, which the tests run; x86_64 builds the same sources for
# 64-bit Windows.
# Output: build/<target>/setup/Pondrel.exe and build/<target>/make/PondrelMake.exe.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
targets=${1:-all}
[ "$targets" = all ] && targets="x86_64 i686"

# libzip comes from Debian's source package, unpacked once into build/_src.
src_root="$root/build/_src"
libzip_src=$(ls -d "$src_root"/libzip-*/ 2>/dev/null | head -n1 || true)
if [ -z "$libzip_src" ] || [ ! -f "$libzip_src/lib/zip.h" ]; then
  mkdir -p "$src_root"
  (cd "$src_root" && apt-get source -q libzip >/dev/null 2>&1 || apt-get source libzip)
  libzip_src=$(ls -d "$src_root"/libzip-*/ | head -n1)
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

for target in $targets; do
  dir="$root/build/$target"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" "${generator[@]}" \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$target.cmake" \
      -DLIBZIP_SOURCE_DIR="${libzip_src%/}" \
      -DPONDREL_TESTS=$([ "$target" = i686 ] && echo ON || echo OFF)
  fi
  cmake --build "$dir" --parallel "$(nproc)"
done
