#!/usr/bin/env bash
# Builds everything and runs every test: the native build with its unit
# tests, host programs and export check; the 32-bit Linux and Windows builds
# with their checksum comparison and DLL checks; the launcher under Wine.
# Where 32-bit x86 programs do not run natively, the -m32 tests run under
# qemu-i386 and the Windows code is run as 64-bit programs under 64-bit Wine
# (scripts/cross-test.sh); the output says which way each leg ran.
#
# Usage: scripts/test.sh [--no-cross]
#   --no-cross  only the native build and its tests (no Wine, no cross compilers)
# Environment: BUILD_DIR (default build), PELRIN_SANITIZE=ON for an
# AddressSanitizer + UndefinedBehaviorSanitizer build of the native tests;
# PELRIN_EMULATE_I386=1 runs 32-bit programs under the emulator even where
# the kernel runs them natively (the registration is removed afterwards);
# PELRIN_ALLOW_SKIP=1 lets a leg that cannot run here be skipped.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build}
cross=1
for arg in "$@"; do
  case $arg in
    --no-cross) cross=0 ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown argument '$arg' (try --help)" >&2; exit 2 ;;
  esac
done

# Each step's heading, with the time the previous step took.
step_start=$SECONDS
step_name=""
step() {
  [ -n "$step_name" ] && printf '=== %s took %d s\n' "$step_name" $((SECONDS - step_start))
  step_name=$*
  step_start=$SECONDS
  printf '\n=== %s\n' "$*"
}

if [ "$cross" -eq 1 ]; then
  step "dependencies"
  scripts/install-deps.sh
  if [ "${PELRIN_EMULATE_I386:-0}" = 1 ] && [ "$(scripts/i386-exec.sh status)" = native ]; then
    # Forced emulation: registered for this run only.
    scripts/i386-exec.sh enable
    trap 'scripts/i386-exec.sh disable' EXIT
  fi
  echo "test.sh: $(scripts/i386-exec.sh explain)"
fi

step "native build ($build)"
cmake -S . -B "$build" -G Ninja -DPELRIN_WERROR=ON -DPELRIN_SANITIZE="${PELRIN_SANITIZE:-OFF}" \
  -DPELRIN_BUILD_TESTS=ON -DPELRIN_BUILD_BENCH=ON
cmake --build "$build"

step "native tests"
ctest --test-dir "$build" --output-on-failure --timeout 300 -j "$(nproc)"

if [ "$cross" -eq 1 ]; then
  step "32-bit Linux and Windows builds, checksums, DLL checks"
  scripts/cross-test.sh
  # The launcher runs as the build whose programs run here: 32-bit where
  # 32-bit programs are native and 32-bit Wine is installed, else the
  # x86-64 one under 64-bit Wine.
  . scripts/wine-env.sh
  win=win
  [ "$(scripts/i386-exec.sh status)" = native ] && wine32_installed || win=win64
  step "launcher end to end under Wine ($win build)"
  scripts/launcher-e2e.sh "${CROSS_BUILD_DIR:-build-cross}/$win/launcher/launcher.exe" "$root/build-e2e"
fi

step "all tests passed (${SECONDS} s in all)"
