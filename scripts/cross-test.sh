#!/usr/bin/env bash
# Builds the sound library three ways and checks that they behave the same:
#   native  x86-64 Linux
#   m32     32-bit x86 Linux (cmake/linux-i686.cmake, SSE2 float math),
#           with the library's test suite run by ctest
#   win     32-bit Windows cross build (cmake/mingw-i686.cmake): pelrin.dll,
#           its import library and launcher.exe; export/import check; the
#           programs run under Wine, and the test suite too when the tests
#           can be built for Windows (CROSS_WIN_TESTS, default auto)
# In each build pelrin-checksum plays its scenarios and pelrin-dllprobe loads
# the library by name and calls all sixteen exports. The three checksum
# outputs must be identical byte for byte.
#
# Usage: scripts/cross-test.sh [native|m32|win ...]   (default: all three)
# Environment: CROSS_BUILD_DIR (default build-cross), CROSS_JOBS (ninja -j),
#   CROSS_WIN_TESTS (ON, OFF or auto: ON when pelrin.h supports PELRIN_STATIC).
# Exit status 0 only when every step passed.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
out=${CROSS_BUILD_DIR:-$root/build-cross}
jobs=${CROSS_JOBS:-$(nproc 2>/dev/null || echo 2)}
legs=("$@")
[ ${#legs[@]} -eq 0 ] && legs=(native m32 win)

mkdir -p "$out"
logdir=$out/logs
mkdir -p "$logdir"
results=()
failed=0
start_all=$(date +%s)

pass() { results+=("PASS  $1"); echo "PASS: $1"; }
fail() { results+=("FAIL  $1"); echo "FAIL: $1"; failed=1; }

# run_logged NAME TIMEOUT CMD...: runs CMD with a time limit, output to a log;
# on failure shows the log's tail.
run_logged() {
  local name=$1 limit=$2; shift 2
  local log=$logdir/$name.log
  if timeout --kill-after=10 "$limit" "$@" >"$log" 2>&1; then
    return 0
  else
    local rc=$?
    echo "---- $name failed (status $rc; 124 means timed out); last lines of $log:"
    tail -n 40 "$log"
    echo "----"
    return 1
  fi
}

# check_checksum_output NAME FILE: the output of pelrin-checksum must list
# every scenario and report no failed self-check.
expected_scenarios=22
check_checksum_output() {
  local name=$1 file=$2
  local lines
  lines=$(grep -c ' fnv64=[0-9a-f]\{16\}$' "$file" 2>/dev/null || true)
  if [ "$lines" != "$expected_scenarios" ]; then
    fail "$name: checksum output has ${lines:-0} scenario lines, want $expected_scenarios"
    head -n 5 "$file"
    return 1
  fi
  if ! grep -qE '^selfcheck: [0-9]+ checks, 0 failed$' "$file"; then
    fail "$name: self-checks failed"
    grep -E 'CHECK FAILED|^selfcheck' "$file" | head -n 20
    return 1
  fi
  pass "$name: pelrin-checksum ($lines scenarios, $(sed -n 's/^selfcheck: \([0-9]*\) checks.*/\1/p' "$file") self-checks)"
}

check_probe_output() {
  local name=$1 file=$2
  if grep -qE '^dllprobe: [0-9]+ checks, 0 failed$' "$file" && ! grep -qE 'CHECK FAILED|^FAIL' "$file"; then
    pass "$name: pelrin-dllprobe ($(grep -m1 'resolved' "$file"))"
  else
    fail "$name: pelrin-dllprobe"
    head -n 20 "$file"
  fi
}

# A 32-bit GoogleTest is built once and installed under the build directory,
# for any part of the build that looks for GoogleTest with find_package
# instead of building it through cmake/gtest-from-source.cmake (Debian's
# prebuilt GoogleTest is 64-bit only).
gtest_m32_args=()
prepare_gtest_m32() {
  local gsrc=/usr/src/googletest
  local gdir=$out/googletest-m32
  if [ ! -f "$gdir/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
    [ -f "$gsrc/CMakeLists.txt" ] || { echo "no GoogleTest sources in $gsrc"; return 1; }
    run_logged m32-googletest-configure 300 cmake -S "$gsrc" -B "$gdir/build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$gdir/install" || return 1
    run_logged m32-googletest-build 600 ninja -C "$gdir/build" -j "$jobs" install || return 1
  fi
  gtest_m32_args=(-DGTest_DIR="$gdir/install/lib/cmake/GTest" -DCMAKE_PREFIX_PATH="$gdir/install")
}

leg_native() {
  local b=$out/native
  run_logged native-configure 300 cmake -S "$root" -B "$b" -G Ninja \
    -DPELRIN_BUILD_TESTS=OFF -DPELRIN_BUILD_BENCH=OFF || { fail "native: configure"; return; }
  run_logged native-build 900 ninja -C "$b" -j "$jobs" pelrin pelrin-checksum pelrin-dllprobe \
    || { fail "native: build"; return; }
  pass "native: build"
  timeout 120 "$b/tools/pelrin-checksum/pelrin-checksum" >"$out/checksum-native.txt" 2>"$logdir/native-checksum.err"
  check_checksum_output native "$out/checksum-native.txt"
  timeout 60 "$b/tools/pelrin-dllprobe/pelrin-dllprobe" "$b/pelrin/libpelrin.so" >"$out/probe-native.txt" 2>&1
  check_probe_output native "$out/probe-native.txt"
}

leg_m32() {
  local b=$out/m32
  prepare_gtest_m32 || { fail "m32: 32-bit GoogleTest"; return; }
  run_logged m32-configure 300 cmake -S "$root" -B "$b" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-i686.cmake" -DPELRIN_WERROR=ON \
    -DPELRIN_BUILD_TESTS=ON -DPELRIN_BUILD_BENCH=OFF "${gtest_m32_args[@]}" \
    || { fail "m32: configure"; return; }
  run_logged m32-build 900 ninja -C "$b" -j "$jobs" || { fail "m32: build"; return; }
  local so
  so=$(readlink -f "$b/pelrin/libpelrin.so")
  if file -L "$so" | grep -q 'ELF 32-bit LSB shared object, Intel 80386'; then
    pass "m32: build ($(basename "$so") is 32-bit x86)"
  else
    fail "m32: libpelrin.so is not a 32-bit x86 shared object: $(file -L "$so")"
    return
  fi
  timeout 120 "$b/tools/pelrin-checksum/pelrin-checksum" >"$out/checksum-m32.txt" 2>"$logdir/m32-checksum.err"
  check_checksum_output m32 "$out/checksum-m32.txt"
  timeout 60 "$b/tools/pelrin-dllprobe/pelrin-dllprobe" "$so" >"$out/probe-m32.txt" 2>&1
  check_probe_output m32 "$out/probe-m32.txt"
  # The library's test suite, 32-bit.
  timeout --kill-after=10 900 ctest --test-dir "$b" -j "$jobs" --timeout 300 --output-on-failure \
    >"$logdir/m32-ctest.log" 2>&1
  local summary
  summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$logdir/m32-ctest.log" | tail -n 1)
  local total
  total=$(sed -n 's/.*out of \([0-9]*\).*/\1/p' <<<"$summary")
  if grep -q '^100% tests passed, 0 tests failed out of' <<<"$summary" && [ "${total:-0}" -gt 0 ]; then
    pass "m32: ctest ($summary)"
  else
    fail "m32: ctest (${summary:-no summary}); see $logdir/m32-ctest.log"
    grep -E 'Failed|\*\*\*|Not Run|Timeout' "$logdir/m32-ctest.log" | head -n 30
  fi
}

wine_prefix=""
cleanup_wine() {
  if [ -n "$wine_prefix" ] && [ -d "$wine_prefix" ]; then
    WINEPREFIX=$wine_prefix timeout 30 wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$wine_prefix timeout 30 wineserver -w >/dev/null 2>&1 || true
    rm -rf "$wine_prefix"
  fi
}
trap cleanup_wine EXIT

# The Windows build compiles the test suite too (run under Wine) when the
# tests can link the library statically there: CROSS_WIN_TESTS=ON/OFF/auto.
win_tests() {
  case ${CROSS_WIN_TESTS:-auto} in
    ON|on|1) echo ON ;;
    OFF|off|0) echo OFF ;;
    *) grep -q 'PELRIN_STATIC' "$root/pelrin/include/pelrin.h" 2>/dev/null && echo ON || echo OFF ;;
  esac
}

leg_win() {
  local b=$out/win
  local tests
  tests=$(win_tests)
  run_logged win-configure 300 cmake -S "$root" -B "$b" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DPELRIN_WERROR=ON \
    -DPELRIN_BUILD_TESTS="$tests" -DPELRIN_BUILD_BENCH=OFF || { fail "win: configure"; return; }
  run_logged win-build 900 ninja -C "$b" -j "$jobs" || { fail "win: build"; return; }
  local dll implib launcher
  dll=$(find "$b" -name pelrin.dll -not -path '*/tools/*' -not -path '*/CMakeFiles/*' | head -n 1)
  implib=$(find "$b" \( -name pelrin.lib -o -name libpelrin.dll.a -o -name pelrin.dll.a \) | head -n 1)
  launcher=$(find "$b" -name launcher.exe | head -n 1)
  [ -n "$dll" ] || { fail "win: no pelrin.dll produced"; return; }
  find "$b" -iname 'libpelrin*.dll' | grep -q . && fail "win: a lib-prefixed DLL was produced"
  [ -n "$implib" ] && pass "win: build (pelrin.dll, $(basename "$implib"))" || fail "win: no import library for pelrin.dll"
  [ -n "$launcher" ] && pass "win: launcher.exe built" || fail "win: launcher.exe not built"

  if "$root/scripts/cross-check-dll.sh" "$dll" ${implib:+"$implib"} >"$logdir/win-dllcheck.log" 2>&1; then
    pass "win: export/import check"
  else
    fail "win: export/import check"
    grep -v '^ok:' "$logdir/win-dllcheck.log"
  fi

  # Wine: a fresh 32-bit prefix, a persistent server and a warm-up command,
  # then the two programs next to the DLL.
  command -v wine >/dev/null || { fail "win: wine not installed"; return; }
  wine_prefix=$(mktemp -d "${TMPDIR:-/tmp}/pelrin-wine.XXXXXX")
  export WINEPREFIX=$wine_prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY
  run_logged win-wineboot 240 wineboot -i || { fail "win: wineboot"; return; }
  timeout 30 wineserver -p >/dev/null 2>&1
  run_logged win-warmup 120 wine cmd /c exit || { fail "win: wine warm-up"; return; }

  local run=$out/win-run
  rm -rf "$run" && mkdir -p "$run"
  cp "$dll" "$b/tools/pelrin-checksum/pelrin-checksum.exe" "$b/tools/pelrin-dllprobe/pelrin-dllprobe.exe" "$run/" \
    || { fail "win: programs missing"; return; }
  (cd "$run" && timeout --kill-after=10 180 wine ./pelrin-checksum.exe) 2>"$logdir/win-checksum.err" \
    | tr -d '\r' >"$out/checksum-win.txt"
  check_checksum_output win "$out/checksum-win.txt" || tail -n 5 "$logdir/win-checksum.err"
  (cd "$run" && timeout --kill-after=10 120 wine ./pelrin-dllprobe.exe pelrin.dll) 2>"$logdir/win-probe.err" \
    | tr -d '\r' >"$out/probe-win.txt"
  check_probe_output win "$out/probe-win.txt" || tail -n 5 "$logdir/win-probe.err"
  if [ "$tests" = ON ]; then
    # ctest runs every Windows test program through Wine (the toolchain's
    # emulator) in the prefix prepared above.
    timeout --kill-after=10 900 ctest --test-dir "$b" -j "$jobs" --timeout 300 --output-on-failure \
      >"$logdir/win-ctest.log" 2>&1
    local summary total
    summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$logdir/win-ctest.log" | tail -n 1)
    total=$(sed -n 's/.*out of \([0-9]*\).*/\1/p' <<<"$summary")
    if grep -q '^100% tests passed, 0 tests failed out of' <<<"$summary" && [ "${total:-0}" -gt 0 ]; then
      pass "win: ctest under Wine ($summary)"
    else
      fail "win: ctest under Wine (${summary:-no summary}); see $logdir/win-ctest.log"
      grep -E '\*\*\*|Not Run|Timeout|^[[:space:]]+[0-9]+ - ' "$logdir/win-ctest.log" | head -n 30
    fi
  else
    echo "note: Windows test suite not built (CROSS_WIN_TESTS=${CROSS_WIN_TESTS:-auto})"
  fi
  cleanup_wine
  wine_prefix=""
}

for leg in "${legs[@]}"; do
  t0=$(date +%s)
  rm -f "$out/checksum-$leg.txt" "$out/probe-$leg.txt"
  echo "== $leg"
  case $leg in
    native) leg_native ;;
    m32) leg_m32 ;;
    win) leg_win ;;
    *) echo "unknown leg $leg (native, m32, win)"; exit 2 ;;
  esac
  echo "== $leg took $(( $(date +%s) - t0 )) s"
done

# Byte-for-byte comparison of the checksum outputs that were produced.
ref=""
for leg in "${legs[@]}"; do
  f=$out/checksum-$leg.txt
  [ -s "$f" ] || continue
  if [ -z "$ref" ]; then
    ref=$leg
  elif cmp -s "$out/checksum-$ref.txt" "$f"; then
    pass "checksums: $leg output identical to $ref"
  else
    fail "checksums: $leg output differs from $ref"
    diff -u "$out/checksum-$ref.txt" "$f" | head -n 60
  fi
done
if [ ${#legs[@]} -gt 1 ] && [ -z "$ref" ]; then
  fail "checksums: no output to compare"
fi

echo
echo "== summary ($(( $(date +%s) - start_all )) s)"
printf '%s\n' "${results[@]}"
if [ $failed -eq 0 ]; then
  echo "CROSS-TEST PASS"
  exit 0
fi
echo "CROSS-TEST FAIL"
exit 1
