#!/usr/bin/env bash
# Prints the names of the library's exported functions, one per line and
# sorted, as the public header declares them; fails unless there are sixteen.
set -euo pipefail
header=$(cd "$(dirname "$0")/.." && pwd)/pelrin/include/pelrin.h
names=$(grep -oE 'PELRIN_CALL APU_[A-Za-z]+\(' "$header" | sed 's/PELRIN_CALL //; s/($//' | sort -u)
count=$(printf '%s\n' "$names" | grep -c .)
if [ "$count" -ne 16 ]; then
  echo "exported-names: the header declares $count APU_ functions, not 16" >&2
  exit 1
fi
printf '%s\n' "$names"
