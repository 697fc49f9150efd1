#!/usr/bin/env bash
# Builds the programs for one target or both: scripts/build.sh [x86_64|i686|all]
# i686 is the shipped 32-bit build, which the tests run; x86_64 builds the same sources for
# 64-bit Windows.
# Output: build/<target>/setup/Pondrel.exe and build/<target>/make/PondrelMake.exe.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
targets=${1:-all}
[ "$targets" = all ] && targets="x86_64 i686"

# libzip and libdeflate come from Debian's source packages, unpacked once into build/_src.
src_root="$root/build/_src"
source_tree() {  # <package> <a file of the unpacked tree>
  local dir
  dir=$(ls -d "$src_root/$1"-*/ 2>/dev/null | head -n1 || true)
  if [ -z "$dir" ] || [ ! -f "$dir/$2" ]; then
    mkdir -p "$src_root"
    (cd "$src_root" && { apt-get source -q "$1" >/dev/null 2>&1 || apt-get source "$1" >&2; })
    dir=$(ls -d "$src_root/$1"-*/ | head -n1)
  fi
  echo "${dir%/}"
}
libzip_src=$(source_tree libzip lib/zip.h)
libdeflate_src=$(source_tree libdeflate libdeflate.h)

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

for target in $targets; do
  dir="$root/build/$target"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" "${generator[@]}" \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$target.cmake" \
      -DLIBZIP_SOURCE_DIR="$libzip_src" -DLIBDEFLATE_SOURCE_DIR="$libdeflate_src" \
      -DPONDREL_TESTS=$([ "$target" = i686 ] && echo ON || echo OFF)
  elif ! grep -q '^LIBDEFLATE_SOURCE_DIR' "$dir/CMakeCache.txt"; then
    cmake -B "$dir" -DLIBDEFLATE_SOURCE_DIR="$libdeflate_src"
  fi
  cmake --build "$dir" --parallel "$(nproc)"
done
