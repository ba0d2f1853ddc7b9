#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs two hosts
# against it: one through find_package(tav), one through pkg-config.
# Arguments: build dir, consumers source dir, cmake, C compiler, C++ compiler.
set -euo pipefail
build=$1 consumers=$2 cmake=$3 cc=$4 cxx=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name tav.pc)")/..
test "$(readlink "$libdir/libtav.so")" = libtav.so.

"$cmake" -S "$consumers/cmake" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
"$cmake" --build "$work/cmake" >/dev/null

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Wextra -Werror -o "$work/pc-consumer" "$consumers/pkgconfig/main.c" \
    $(pkg-config --cflags --libs tav tav-platform)

# Both must ask the loader for libtav.so. by its soname.
for exe in "$work/cmake/consumer" "$work/pc-consumer"; do
    readelf -d "$exe" | grep -q 'Shared library: \[libtav.so.\]' || { echo "$exe: libtav.so. not needed"; exit 1; }
done
export LD_LIBRARY_PATH=$libdir
"$work/cmake/consumer"
"$work/pc-consumer"
