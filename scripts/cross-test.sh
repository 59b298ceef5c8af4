#!/usr/bin/env bash
# Builds the sound library three ways and checks that they behave the same:
#   native  x86-64 Linux
#   m32     32-bit x86 Linux (cmake/linux-i686.cmake, SSE2 float math),
#           with the library's test suite run by ctest
#   win     32-bit Windows cross build (cmake/mingw-i686.cmake): pelrin.dll,
#           its import library and launcher.exe; export/import check; where
#           32-bit programs run natively and 32-bit Wine is installed, the
#           programs and the test suite (CROSS_WIN_TESTS, default auto) run
#           under 32-bit Wine
#   win64   the same Windows code built for x86-64 (cmake/mingw-x86_64.cmake),
#           run under 64-bit Wine with its test suite: the default in place
#           of running win where 32-bit programs are emulated or cannot run,
#           or where 32-bit Wine is missing
# In each build that runs, pelrin-checksum plays its scenarios and
# pelrin-dllprobe loads the library by name and calls all sixteen exports.
# The checksum outputs must be identical byte for byte.
#
# 32-bit x86 Linux programs (the m32 leg) run natively or under qemu-i386
# (scripts/i386-exec.sh); the output says which. A leg that cannot run fails
# with the reason, unless PELRIN_ALLOW_SKIP=1 lets it be skipped (reported).
#
# Usage: scripts/cross-test.sh [native|m32|win|win64 ...]
#   default: native m32 win, plus win64 unless 32-bit programs run natively
#   under 32-bit Wine
# Environment: CROSS_BUILD_DIR (default build-cross), CROSS_JOBS (ninja -j),
#   CROSS_WIN_TESTS (ON, OFF or auto: ON when pelrin.h supports PELRIN_STATIC),
#   PELRIN_ALLOW_SKIP=1.
# Exit status 0 only when every step passed.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
out=${CROSS_BUILD_DIR:-$root/build-cross}
jobs=${CROSS_JOBS:-$(nproc 2>/dev/null || echo 2)}
. "$root/scripts/wine-env.sh"
i386_mode=$("$root/scripts/i386-exec.sh" status)
# 32-bit Windows programs run here: natively, under 32-bit Wine.
win32_runs() { [ "$i386_mode" = native ] && wine32_installed; }
legs=("$@")
if [ ${#legs[@]} -eq 0 ]; then
  legs=(native m32 win)
  win32_runs || legs+=(win64)
fi
echo "cross-test: $("$root/scripts/i386-exec.sh" explain)"

mkdir -p "$out"
logdir=$out/logs
mkdir -p "$logdir"
results=()
failed=0
start_all=$(date +%s)

pass() { results+=("PASS  $1"); echo "PASS: $1"; }
fail() { results+=("FAIL  $1"); echo "FAIL: $1"; failed=1; }
# A leg that cannot run on this machine: a failure unless skips are allowed.
cannot_run() {
  if [ "${PELRIN_ALLOW_SKIP:-0}" = 1 ]; then
    results+=("SKIP  $1"); echo "SKIP: $1 (PELRIN_ALLOW_SKIP=1)"
  else
    fail "$1 (PELRIN_ALLOW_SKIP=1 skips it)"
  fi
}

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
  case $i386_mode in
    native) echo "m32: 32-bit programs run natively" ;;
    emulated) echo "m32: 32-bit programs run under qemu-i386" ;;
    *) cannot_run "m32: 32-bit x86 programs cannot run here (scripts/install-deps.sh registers qemu-i386 where binfmt_misc works)"
       return ;;
  esac
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
    pass "m32: ctest, $i386_mode ($summary)"
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

# A fresh Wine prefix for ARCH (i686 or x86_64), a persistent server and a
# warm-up command.
wine_prefix_up() {
  local name=$1 arch=$2
  wine_use "$arch"
  command -v "$WINE" >/dev/null || { fail "$name: $WINE not installed"; return 1; }
  wine_prefix=$(mktemp -d "${TMPDIR:-/tmp}/pelrin-wine.XXXXXX")
  export WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY
  run_logged "$name-wineboot" 240 "$WINE" wineboot -i || { fail "$name: wineboot"; return 1; }
  timeout 30 wineserver -p >/dev/null 2>&1
  run_logged "$name-warmup" 120 "$WINE" cmd /c exit || { fail "$name: wine warm-up"; return 1; }
}

# Runs pelrin-checksum, pelrin-dllprobe and (when built) the test suite of
# the Windows build in $2 under Wine.
run_windows_build() {
  local name=$1 b=$2 dll=$3 tests=$4
  local run=$out/$name-run
  rm -rf "$run" && mkdir -p "$run"
  cp "$dll" "$b/tools/pelrin-checksum/pelrin-checksum.exe" "$b/tools/pelrin-dllprobe/pelrin-dllprobe.exe" "$run/" \
    || { fail "$name: programs missing"; return; }
  (cd "$run" && timeout --kill-after=10 180 "$WINE" ./pelrin-checksum.exe) 2>"$logdir/$name-checksum.err" \
    | tr -d '\r' >"$out/checksum-$name.txt"
  check_checksum_output "$name" "$out/checksum-$name.txt" || tail -n 5 "$logdir/$name-checksum.err"
  (cd "$run" && timeout --kill-after=10 120 "$WINE" ./pelrin-dllprobe.exe pelrin.dll) 2>"$logdir/$name-probe.err" \
    | tr -d '\r' >"$out/probe-$name.txt"
  check_probe_output "$name" "$out/probe-$name.txt" || tail -n 5 "$logdir/$name-probe.err"
  if [ "$tests" = ON ]; then
    # ctest runs every Windows test program through Wine (the toolchain's
    # emulator) in the prefix prepared above. A test program whose Wine
    # client loses its server now and then ("recvmsg: Connection reset by
    # peer") is run again; a real failure fails every time.
    timeout --kill-after=10 900 ctest --test-dir "$b" -j "$jobs" --timeout 300 --output-on-failure \
      --repeat until-pass:3 \
      >"$logdir/$name-ctest.log" 2>&1
    local summary total
    summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$logdir/$name-ctest.log" | tail -n 1)
    total=$(sed -n 's/.*out of \([0-9]*\).*/\1/p' <<<"$summary")
    if grep -q '^100% tests passed, 0 tests failed out of' <<<"$summary" && [ "${total:-0}" -gt 0 ]; then
      pass "$name: ctest under Wine ($summary)"
    else
      fail "$name: ctest under Wine (${summary:-no summary}); see $logdir/$name-ctest.log"
      grep -E '\*\*\*|Not Run|Timeout|^[[:space:]]+[0-9]+ - ' "$logdir/$name-ctest.log" | head -n 30
    fi
  else
    echo "note: $name: Windows test suite not built (CROSS_WIN_TESTS=${CROSS_WIN_TESTS:-auto})"
  fi
}

# Builds the Windows targets with TOOLCHAIN into $out/NAME; sets win_dll.
build_windows() {
  local name=$1 toolchain=$2 tests=$3
  local b=$out/$name
  win_dll=""
  run_logged "$name-configure" 300 cmake -S "$root" -B "$b" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DPELRIN_WERROR=ON \
    -DPELRIN_BUILD_TESTS="$tests" -DPELRIN_BUILD_BENCH=OFF || { fail "$name: configure"; return 1; }
  run_logged "$name-build" 900 ninja -C "$b" -j "$jobs" || { fail "$name: build"; return 1; }
  win_dll=$(find "$b" -name pelrin.dll -not -path '*/tools/*' -not -path '*/CMakeFiles/*' | head -n 1)
  [ -n "$win_dll" ] || { fail "$name: no pelrin.dll produced"; return 1; }
  find "$b" -iname 'libpelrin*.dll' | grep -q . && fail "$name: a lib-prefixed DLL was produced"
  find "$b" -name launcher.exe | grep -q . && pass "$name: launcher.exe built" || fail "$name: launcher.exe not built"
  return 0
}

# The shipped 32-bit Windows deliverables: built and checked everywhere, run
# under 32-bit Wine where 32-bit programs run natively and 32-bit Wine is installed.
leg_win() {
  local b=$out/win tests
  tests=$(win_tests)
  win32_runs || tests=OFF
  build_windows win mingw-i686.cmake "$tests" || return
  local implib
  implib=$(find "$b" \( -name pelrin.lib -o -name libpelrin.dll.a -o -name pelrin.dll.a \) | head -n 1)
  [ -n "$implib" ] && pass "win: build (pelrin.dll, $(basename "$implib"))" || fail "win: no import library for pelrin.dll"
  if "$root/scripts/cross-check-dll.sh" "$win_dll" ${implib:+"$implib"} >"$logdir/win-dllcheck.log" 2>&1; then
    pass "win: export/import check"
  else
    fail "win: export/import check"
    grep -v '^ok:' "$logdir/win-dllcheck.log"
  fi
  if [ "$i386_mode" != native ]; then
    echo "note: win: 32-bit programs are not native here ($i386_mode), so the 32-bit Windows programs are not run;"
    echo "      the win64 leg runs the same Windows code under 64-bit Wine"
    return
  fi
  if ! wine32_installed; then
    echo "note: win: 32-bit Wine is not installed, so the 32-bit Windows programs are not run;"
    echo "      the win64 leg runs the same Windows code under 64-bit Wine"
    return
  fi
  wine_prefix_up win i686 || return
  run_windows_build win "$b" "$win_dll" "$tests"
  cleanup_wine
  wine_prefix=""
}

# The Windows code built for x86-64 and run under native 64-bit Wine.
leg_win64() {
  local tests
  tests=$(win_tests)
  build_windows win64 mingw-x86_64.cmake "$tests" || return
  pass "win64: build (pelrin.dll for x86-64)"
  wine_prefix_up win64 x86_64 || return
  run_windows_build win64 "$out/win64" "$win_dll" "$tests"
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
    win64) leg_win64 ;;
    *) echo "unknown leg $leg (native, m32, win, win64)"; exit 2 ;;
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
