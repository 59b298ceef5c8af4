#!/usr/bin/env bash
# The shared library must export exactly the sixteen APU_ functions.
set -eu
lib=$1
expected=$("$(dirname "$0")/../scripts/exported-names.sh")
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the sixteen APU_ functions:"
  diff <(printf "%s\n" "$actual") <(printf "%s\n" "$expected") || true
  exit 1
fi
for name in $expected; do
  nm -D --defined-only "$lib" | grep -q " T $name\$" || { echo "$name is not a function"; exit 1; }
done
echo "exactly the sixteen APU_ functions are exported"
