#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing
# everything: GoogleTest and Google Benchmark, SDL2 and libpng, clang with
# libFuzzer, the cross compilers and 32-bit
# libraries for the Windows and -m32 builds, Wine, a virtual X display, and
# where the kernel does not run 32-bit x86 programs natively, the user-mode
# emulator that runs them (registered with binfmt_misc).
#
# Environment: PELRIN_EMULATE_I386=1 also installs the emulator on a machine
# that runs 32-bit programs natively (scripts/test.sh then uses it).
# Safe to run again: only what is missing is installed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
updated=0
# A mirror in the middle of a sync fails one index or another now and then:
# try again, and at last go on with the indexes that did arrive (the install
# then says what it cannot find).
update_indexes() {
  local try
  for try in 1 2 3; do
    $SUDO apt-get update -q && return 0
    echo "install-deps: apt-get update failed (try $try of 3)" >&2
    [ $try -eq 3 ] || sleep $((try * 15))
  done
  echo "install-deps: going on with the package indexes that were fetched" >&2
}
install() {
  [ $# -gt 0 ] || return 0
  echo "install-deps: installing $*"
  if [ $updated -eq 0 ]; then
    $SUDO dpkg --add-architecture i386
    update_indexes
    updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "$@"
}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
[ -d /usr/src/googletest ] || need+=(googletest)
[ -e /usr/lib/x86_64-linux-gnu/libgtest.a ] || [ -e /usr/lib/x86_64-linux-gnu/libgtest.so ] || need+=(libgtest-dev libgmock-dev)
[ -e /usr/lib/x86_64-linux-gnu/cmake/benchmark/benchmarkConfig.cmake ] || need+=(libbenchmark-dev)
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686 mingw-w64-tools)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
[ -e /usr/lib/gcc/x86_64-linux-gnu/12/32/libstdc++.so ] || need+=(g++-multilib)
command -v wine >/dev/null || need+=(wine)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
command -v Xvfb >/dev/null || need+=(xvfb)
command -v xdotool >/dev/null || need+=(xdotool)
command -v xwd >/dev/null || need+=(x11-apps)
command -v xwininfo >/dev/null || need+=(x11-utils)
[ -e /usr/share/wine/fonts/marlett.ttf ] || need+=(fonts-wine)
command -v python3 >/dev/null || need+=(python3)
command -v file >/dev/null || need+=(file)
command -v pkg-config >/dev/null || need+=(pkg-config)
# pelrin-nsf's live playback and pictures (optional for a plain build).
[ -e /usr/include/SDL2/SDL.h ] || need+=(libsdl2-dev)
[ -e /usr/include/png.h ] || need+=(libpng-dev)
# clang with libFuzzer and its sanitizer runtimes, for scripts/fuzz.sh.
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
install "${need[@]}"

# 32-bit x86 programs: natively where the kernel runs them, else under the
# emulator. 32-bit Wine is only worth installing where they run natively
# (under the emulator it is far too slow; the Windows tests then run as
# 64-bit programs under 64-bit Wine).
mode=$("$here/i386-exec.sh" status)
if [ "$mode" = none ] || [ "${PELRIN_EMULATE_I386:-0}" = 1 ]; then
  [ -x /usr/bin/qemu-i386 ] || install qemu-user
fi
if [ "$mode" = none ]; then
  "$here/i386-exec.sh" enable
elif [ "$mode" = native ]; then
  # Optional: without it the tests run the Windows code as 64-bit programs
  # only. It is the one install that needs the i386 indexes to match the
  # installed amd64 libraries, which a mirror's sync can break for a while.
  if ! dpkg -s wine32:i386 >/dev/null 2>&1 && ! (install wine32:i386); then
    echo "install-deps: 32-bit Wine could not be installed; the Windows code is tested under 64-bit Wine only" >&2
  fi
fi
echo "install-deps: $("$here/i386-exec.sh" explain)"
echo "install-deps: everything needed is present"
