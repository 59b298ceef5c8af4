#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers on) and fuzzes each one for a fixed time from its committed
# corpus. Fails on any crash, hang, leak, out-of-memory or sanitizer report.
#
# Usage: scripts/fuzz.sh [--long] [TARGET...]
#   TARGET   api, nsf, reglog or diff (default: all four, one after another)
#   --long   fuzz each target for 15 minutes instead of 75 seconds
# Environment: FUZZ_SECONDS (seconds per target, overrides both),
# FUZZ_BUILD_DIR (default build-fuzz), CC and CXX (default clang, clang++),
# FUZZ_BUILD_JOBS (default 2).
# New inputs go to FUZZ_BUILD_DIR/fuzz-corpus/TARGET, a failing input to
# FUZZ_BUILD_DIR/fuzz-artifacts/; add a failing input to
# tests/fuzz/corpus/TARGET together with its fix.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=75
targets=()
for arg in "$@"; do
  case $arg in
    --long) seconds=900 ;;
    api|nsf|reglog|diff) targets+=("$arg") ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "fuzz.sh: unknown argument '$arg' (try --help)" >&2; exit 2 ;;
  esac
done
seconds=${FUZZ_SECONDS:-$seconds}
[ ${#targets[@]} -gt 0 ] || targets=(api nsf reglog diff)

printf '=== building the fuzz targets in %s\n' "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="${CC:-clang}" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" \
  -DPELRIN_FUZZ=ON -DPELRIN_SANITIZE=ON -DPELRIN_WERROR=ON -DPELRIN_BUILD_TESTS=ON -DPELRIN_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" -j "${FUZZ_BUILD_JOBS:-2}" "${targets[@]/%/_fuzzer}"

failed=()
for t in "${targets[@]}"; do
  corpus=$build/fuzz-corpus/$t
  artifacts=$build/fuzz-artifacts
  mkdir -p "$corpus" "$artifacts"
  dict=()
  [ -f "tests/fuzz/$t.dict" ] && dict=(-dict="tests/fuzz/$t.dict")
  log=$build/fuzz-$t.log
  printf '\n=== fuzzing %s for %s s\n' "$t" "$seconds"
  status=0
  "$build/tests/fuzz/${t}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "${dict[@]}" \
    "$corpus" "tests/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  if [ "$status" -ne 0 ] || grep -q -e '^==[0-9]*==ERROR' -e 'runtime error:' "$log"; then
    failed+=("$t")
    tail -n 60 "$log" >&2
    echo "fuzz.sh: $t failed (exit $status); the input is in $artifacts, the whole log in $log" >&2
  else
    echo "$t: ${execs:-?} executions in $seconds s, ${cov:-cov ?}"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: failures in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: no failures"
