#!/usr/bin/env bash
# Builds the programs for one target or all: scripts/build.sh [x86_64|i686|linux|all] [cmake targets...]
# i686 is the shipped 32-bit build, which the tests run; x86_64 builds the same sources for
# 64-bit Windows; linux builds the builder natively with the machine's own compilers, carrying
# the shipped setup program (so the i686 one is built first). Named cmake targets build only
# those (and what they need).
# Output: build/<target>/setup/Pondrel.exe and build/<target>/make/PondrelMake.exe;
# build/linux/make/pondrelmake.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
targets=${1:-all}
[ $# -gt 0 ] && shift
only=("$@")
[ "$targets" = all ] && targets="x86_64 i686 linux"

# zlib, libzip and libdeflate come from Debian's source packages, unpacked once into build/_src.
# A package whose newest source cannot be fetched (an update whose files the mirror lacks) is
# taken from the release itself.
src_root="$root/build/_src"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
source_tree() {  # <package> <file that marks a complete tree>
  local tree
  tree=$(ls -d "$src_root/$1"-*/ 2>/dev/null | head -n1 || true)
  if [ -z "$tree" ] || [ ! -f "$tree/$2" ]; then
    mkdir -p "$src_root"
    (cd "$src_root" && { apt-get source -q "$1" >/dev/null 2>&1 || apt-get source -q "$1/$codename" >/dev/null 2>&1 ||
                         apt-get source "$1/$codename"; }) >&2
    tree=$(ls -d "$src_root/$1"-*/ | head -n1)
  fi
  echo "${tree%/}"
}
zlib_src=$(source_tree zlib zlib.h)
libzip_src=$(source_tree libzip lib/zip.h)
libdeflate_src=$(source_tree libdeflate libdeflate.h)

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

for target in $targets; do
  dir="$root/build/$target"
  if [ "$target" = linux ]; then
    # The shipped setup program first: the native builder carries it.
    [[ " $targets " == *" i686 "* ]] || bash "$0" i686 Pondrel
    cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DPONDREL_STUB="$root/build/i686/setup/Pondrel.exe" \
      -DZLIB_SOURCE_DIR="$zlib_src" -DLIBZIP_SOURCE_DIR="$libzip_src" -DLIBDEFLATE_SOURCE_DIR="$libdeflate_src" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)" ${only[@]+--target "${only[@]}"}
    # Its Debian package, build/linux/pondrelmake_<version>_<arch>.deb, with a whole build.
    [ ${#only[@]} -gt 0 ] || (cd "$dir" && cpack -G DEB >/dev/null)
    continue
  fi
  # A folder configured with other compilers (those of the POSIX thread model, before) is made anew.
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -qs -- '-g++-win32"' "$dir"/CMakeFiles/*/CMakeCXXCompiler.cmake; then
    rm -rf "$dir"
  fi
  # Configured every time, so that a build folder made before a source tree was added learns of it.
  cmake -S "$root" -B "$dir" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$target.cmake" \
    -DZLIB_SOURCE_DIR="$zlib_src" -DLIBZIP_SOURCE_DIR="$libzip_src" -DLIBDEFLATE_SOURCE_DIR="$libdeflate_src" \
    -DPONDREL_TESTS=$([ "$target" = i686 ] && echo ON || echo OFF) >/dev/null
  cmake --build "$dir" --parallel "$(nproc)" ${only[@]+--target "${only[@]}"}
done
