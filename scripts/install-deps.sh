#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, as root: the build's
# packages on the machine itself, and the Wine root in which the tests run the Windows programs
# (tests/bench/wine-root.sh). Idempotent and non-interactive: a second run finds everything in
# place and does nothing.
#   scripts/install-deps.sh [all|host|wine]   both (the default), the machine's packages, the root
# scripts/run-sample.sh and scripts/test.sh make the root while the programs build.
set -euo pipefail
part=${1:-all}
if [ "$part" = wine ]; then
  exec bash "$(dirname "$0")/../tests/bench/wine-root.sh" ensure
fi

export DEBIAN_FRONTEND=noninteractive

packages=(
  cmake ninja-build make dpkg-dev
  gcc g++ file
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  googletest
  wixl msitools osslsigncode openssl
  python3
  debootstrap
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done

# libzip is built from Debian's source package, which needs a deb-src entry.
src_list=/etc/apt/sources.list.d/pondrel-deb-src.sources
need_update=0
if [ ! -f "$src_list" ]; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src_list"
  else
    cat > "$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  fi
  need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  apt-get update -q -o Acquire::Retries=3
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get install -y -q --no-install-recommends -o Acquire::Retries=3 "${missing[@]}"
fi

# The Windows side of the tests, with the users' locales it needs.
if [ "$part" = all ]; then
  bash "$(dirname "$0")/../tests/bench/wine-root.sh" ensure
fi
