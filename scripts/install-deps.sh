#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing
# everything: the cross compiler and 32-bit libraries for the Windows and
# -m32 builds, Wine with its 32-bit half, and a virtual X display.
set -euo pipefail

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686 mingw-w64-tools)
[ -e /usr/lib/gcc/x86_64-linux-gnu/12/32/libstdc++.so ] || need+=(g++-multilib)
command -v wine >/dev/null || need+=(wine wine64)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
command -v Xvfb >/dev/null || need+=(xvfb)
command -v xdotool >/dev/null || need+=(xdotool)
command -v xwd >/dev/null || need+=(x11-apps)
command -v xwininfo >/dev/null || need+=(x11-utils)
[ -e /usr/share/wine/fonts/marlett.ttf ] || need+=(fonts-wine)
command -v python3 >/dev/null || need+=(python3)

if [ ${#need[@]} -eq 0 ]; then
  echo "install-deps: everything is present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "install-deps: installing ${need[*]}"
$SUDO dpkg --add-architecture i386
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
