#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs hosts
# against it with GCC and Clang, with and without --as-needed, through
# find_package(tav) in every order of the targets and pkg-config in both
# orders of the .pc names; then every example and every C and C++ block of
# the README and the guides against it. Arguments: build dir, consumers
# source dir, cmake, source dir.
set -euo pipefail
build=$1 consumers=$2 cmake=$3 src=$4
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

# The examples, built on their own against the installed package.
"$cmake" -S "$src/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake" --build "$work/examples" -j2 >/dev/null
run "$work/examples/tav-demo"

# Each C or C++ block of the docs is a translation unit of its own: compiled
# against the installed headers, and linked when it has a main.
blocks=$work/blocks
mkdir -p "$blocks"
for md in "$src/README.md" "$src"/docs/*.md; do
    awk -v out="$blocks/$(basename "$md" .md)" '
        /^```(c|cpp)$/ { n++; file = sprintf("%s_%02d.%s", out, n, substr($0, 4)); next }
        /^```/ { file = ""; next }
        file != "" { print > file }' "$md"
done
count=0
for f in "$blocks"/*; do
    # A block that needs more than libtav names its pkg-config modules in its first line ("Build: pkg-config zlib").
    modules=$(head -n 1 "$f" | sed -n 's/.*Build: pkg-config \([-a-z0-9. ]*[-a-z0-9]\).*/\1/p')
    flags=$(pkg-config --cflags tav tav-platform $modules)
    libs=$(pkg-config --libs tav tav-platform $modules)
    case $f in
    *.c) compile=(gcc -std=gnu11 -Wall -Wextra -Werror) ;;
    *.cpp) compile=(g++ -std=c++20 -Wall -Wextra -Werror) ;;
    esac
    # shellcheck disable=SC2086
    if grep -qE '^(int|auto) main\(' "$f"; then
        "${compile[@]}" $flags -o "$f.bin" "$f" $libs -ldl || { echo "doc block $(basename "$f") does not build"; exit 1; }
    else
        "${compile[@]}" $flags -c -o "$f.o" "$f" || { echo "doc block $(basename "$f") does not compile"; exit 1; }
    fi
    count=$((count + 1))
done
echo "install: the examples and $count doc blocks build against the package"
