#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a host against it
# twice: through the CMake package and through pkg-config.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/pelrin.h lib/pkgconfig/pelrin.pc lib/cmake/pelrin/pelrinConfig.cmake; do
  [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

cmake -S "$here" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
out=$(LD_LIBRARY_PATH="$prefix/lib" "$scratch/cmake/consumer")
[ "$out" = 48 ] || { echo "CMake package consumer printed '$out', want 48"; exit 1; }

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cc "$here/consumer.c" -o "$scratch/pc-consumer" $(pkg-config --cflags --libs pelrin)
out=$(LD_LIBRARY_PATH="$prefix/lib" "$scratch/pc-consumer")
[ "$out" = 48 ] || { echo "pkg-config consumer printed '$out', want 48"; exit 1; }
# The installed programs run on their own, wherever the prefix is.
for run in "pelrin-render --version" "pelrin-nsf --help"; do
  set -- $run
  [ -x "$prefix/bin/$1" ] || { echo "not installed: bin/$1"; exit 1; }
  out=$(env -u LD_LIBRARY_PATH "$prefix/bin/$1" "$2" 2>&1) \
    || { echo "installed '$run' failed: $out"; exit 1; }
done

echo "installed programs, library, header, pkg-config file and CMake package work"
