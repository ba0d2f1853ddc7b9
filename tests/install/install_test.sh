#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs hosts
# against it with GCC and Clang, with and without --as-needed, through
# find_package(tav) in every order of the targets and pkg-config in both
# orders of the .pc names. Arguments: build dir, consumers source dir, cmake.
set -euo pipefail
build=$1 consumers=$2 cmake=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name tav.pc)")/..
test "$(readlink "$libdir/libtav.so")" = libtav.so.
export PKG_CONFIG_PATH=$libdir/pkgconfig LD_LIBRARY_PATH=$libdir
# No -I into the package's own directory: a host's json.hpp stays its own.
if pkg-config --cflags tav tav-platform | grep -q 'include/tav'; then echo "-I into include/tav"; exit 1; fi

run() { # exe: must need libtav.so. by its soname and run
    readelf -d "$1" | grep -q 'Shared library: \[libtav.so.\]' || { echo "$1: libtav.so. not needed"; exit 1; }
    "$1" >/dev/null || { echo "$1 failed"; exit 1; }
}
for pair in "gcc g++" "clang clang++"; do
    read -r cc cxx <<<"$pair"
    for asneeded in "" "-Wl,--as-needed"; do
        dir=$work/cmake-$cc${asneeded:+-asneeded}
        "$cmake" -S "$consumers/cmake" -B "$dir" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
            -DCMAKE_EXE_LINKER_FLAGS="$asneeded" >/dev/null
        "$cmake" --build "$dir" -j2 >/dev/null
        for exe in "$dir"/consumer[0-9]*; do run "$exe"; done
        for pcs in "tav tav-platform" "tav-platform tav"; do
            # shellcheck disable=SC2046,SC2086
            "$cc" -std=c11 -Wall -Wextra -Werror $asneeded -o "$work/pc" "$consumers/pkgconfig/main.c" \
                $(pkg-config --cflags --libs $pcs)
            run "$work/pc"
        done
    done
done
echo "install: all orders link and run"
