#!/usr/bin/env bash
# The Windows side of the tests: a Debian 13 root with Wine 10 in its WoW64 layout (64-bit Wine
# with the 32-bit Wine beside it), in which the shipped 32-bit programs run. The root lives
# outside the checkout and is made once per machine.
#   tests/bench/wine-root.sh ensure            make the root, or bring its packages up to date
#   tests/bench/wine-root.sh run <command...>  run a command inside it
#
# The kernels of these machines cannot execute 32-bit x86 code (no 32-bit code segment is
# usable, so neither a 32-bit process nor Wine's own WoW64 switch works). The 32-bit half of Wine
# therefore runs under qemu's user-mode emulation: `ensure` registers the root's qemu-i386 for
# 32-bit x86 programs with the kernel (binfmt_misc, opened once, so it works inside the root).
# 64-bit programs, the Wine server among them, run natively.
#
# `run` enters the root in a private mount namespace, so nothing stays mounted afterwards, with
# /dev, /tmp and the checkout bound at the same paths: ctest files name absolute paths, and the
# Wine server's and the X server's sockets live in /tmp. The command keeps the caller's
# environment and current folder.
# PONDREL_WINE_ROOT chooses another place for the root.
set -euo pipefail

root=${PONDREL_WINE_ROOT:-/var/lib/pondrel/wine10-root}
checkout=$(cd "$(dirname "$0")/../.." && pwd)
suite=trixie

# What the tests use on the Windows side, and the tools they call around it.
packages=(
  wine wine64 wine32:i386 qemu-user-static
  xvfb xauth x11-utils xdotool imagemagick
  python3 python3-pytest python3-pefile
  osslsigncode wixl msitools openssl zip unzip p7zip-full
  cmake locales time procps
)
locales=(en_US.UTF-8 ru_RU.UTF-8 ka_GE.UTF-8 kk_KZ.UTF-8 de_DE.UTF-8)
stamp="$root/.pondrel-ready"
wanted="$suite | ${packages[*]} | ${locales[*]}"
binfmt=/proc/sys/fs/binfmt_misc
emulator="$root/usr/bin/qemu-i386"

inside() {
  PONDREL_CHECKOUT=$checkout unshare -m bash -c '
    set -e
    root=$1; here=$PWD; shift
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    for dir in /tmp "$PONDREL_CHECKOUT"; do
      mkdir -p "$root$dir"
      mount --rbind "$dir" "$root$dir"
    done
    exec chroot "$root" /bin/sh -c "cd \"\$0\" 2>/dev/null || cd /; exec \"\$@\"" "$here" "$@"
  ' inside "$root" "$@"
}

# 32-bit x86 ELF programs run through the root's qemu-i386.
register_emulator() {
  [ -f "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ -f "$binfmt/pondrel-i386" ]; then
    grep -qx "interpreter $emulator" "$binfmt/pondrel-i386" && grep -qx enabled "$binfmt/pondrel-i386" && return
    echo -1 > "$binfmt/pondrel-i386"
  fi
  printf '%s' ":pondrel-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$emulator:F" \
    > "$binfmt/register"
}

ensure() {
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
    command -v debootstrap >/dev/null || {
      apt-get install -y -q --no-install-recommends -o Acquire::Retries=3 debootstrap
    }
    if [ ! -x "$root/usr/bin/apt-get" ] || ! grep -q "$suite" "$root/etc/os-release" 2>/dev/null; then
      echo "making the Wine root in $root (Debian $suite)"
      rm -rf "$root"
      mkdir -p "$(dirname "$root")"
      debootstrap --variant=minbase "$suite" "$root" http://deb.debian.org/debian
    fi
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    local gen=""
    for l in "${locales[@]}"; do gen+="$l ${l#*.}"$'\n'; done
    printf '%s' "$gen" > "$root/etc/locale.gen"
    inside env DEBIAN_FRONTEND=noninteractive sh -c "
      dpkg --add-architecture i386 &&
      apt-get -q -o Acquire::Retries=3 update &&
      apt-get install -y -q --no-install-recommends -o Acquire::Retries=3 ${packages[*]} &&
      locale-gen"
    echo "$wanted" > "$stamp"
  fi
  register_emulator
}

case "${1:-}" in
  ensure) ensure; echo "Wine in the root: $(inside wine --version)" ;;
  run) shift; ensure >&2; inside "$@" ;;
  *) echo "usage: $0 ensure | run <command...>" >&2; exit 2 ;;
esac
