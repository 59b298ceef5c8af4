#!/usr/bin/env bash
# Builds everything and runs every test: the native build with its unit
# tests, host programs and export check; the 32-bit Linux and Windows builds
# with their checksum comparison and DLL checks; the launcher under Wine.
#
# Usage: scripts/test.sh [--no-cross]
#   --no-cross  only the native build and its tests (no Wine, no cross compilers)
# Environment: BUILD_DIR (default build), PELRIN_SANITIZE=ON for an
# AddressSanitizer + UndefinedBehaviorSanitizer build of the native tests.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build}
cross=1
for arg in "$@"; do
  case $arg in
    --no-cross) cross=0 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown argument '$arg' (try --help)" >&2; exit 2 ;;
  esac
done

step() { printf '\n=== %s\n' "$*"; }

if [ "$cross" -eq 1 ]; then
  step "dependencies"
  scripts/install-deps.sh
fi

step "native build ($build)"
cmake -S . -B "$build" -G Ninja -DPELRIN_WERROR=ON -DPELRIN_SANITIZE="${PELRIN_SANITIZE:-OFF}"
cmake --build "$build"

step "native tests"
ctest --test-dir "$build" --output-on-failure --timeout 300 -j "$(nproc)"

if [ "$cross" -eq 1 ]; then
  step "32-bit Linux and Windows builds, checksums, DLL checks"
  scripts/cross-test.sh
  step "launcher end to end under Wine"
  scripts/launcher-e2e.sh "${CROSS_BUILD_DIR:-build-cross}/win/launcher/launcher.exe" "$root/build-e2e"
fi

step "all tests passed"
