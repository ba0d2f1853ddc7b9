#!/usr/bin/env bash
# Every dependency a component requires, hidden in turn: the configure step
# must stop with a message naming the Debian package and the option that
# leaves the component out. With every one hidden and every component off,
# the library alone must still configure.
# Usage: configure_test.sh SOURCE_DIR CMAKE
set -u
src=$1 cmake=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# tav_require(<option> <package> <debian package> ...) calls, as written in the build files.
mapfile -t reqs < <(grep -rhoE --include=CMakeLists.txt '^ *tav_require\((TAV_[A-Z_]+) ([A-Za-z0-9_]+) ("[^"]*"|[^ )]+)' "$src" |
    sed -E 's/^ *tav_require\(//; s/"//g')
[ ${#reqs[@]} -gt 0 ] || { echo "FAIL no tav_require calls found"; exit 1; }

# The first option that needs each package, in the order the build asks for them.
declare -A first debian
packages=() options=()
for r in "${reqs[@]}"; do
    read -r opt pkg deb <<<"$r"
    [ -n "${first[$pkg]:-}" ] || { packages+=("$pkg"); first[$pkg]=$opt; debian[$pkg]=$deb; }
    [[ " ${options[*]} " == *" $opt "* ]] || options+=("$opt")
done
on=() off=() hide_all=()
for o in "${options[@]}"; do on+=("-D$o=ON"); off+=("-D$o=OFF"); done
for p in "${packages[@]}"; do hide_all+=("-DCMAKE_DISABLE_FIND_PACKAGE_$p=ON"); done

# One build directory throughout: after the first configure the compiler and
# what was found are cached, and each package is hidden from a configure of
# its own on top (-U clears the previous one's).
configure() { "$cmake" -S "$src" -B "$dir" -U 'CMAKE_DISABLE_FIND_PACKAGE_*' "$@" 2>&1; }
out=$(configure "${on[@]}") || { echo "FAIL the full configure: $(tail -n 5 <<<"$out")"; exit 1; }
fails=0
for pkg in "${packages[@]}"; do
    if out=$(configure "${on[@]}" -DCMAKE_DISABLE_FIND_PACKAGE_"$pkg"=ON); then
        echo "FAIL $pkg hidden: configure passed"; fails=$((fails + 1)); continue
    fi
    out=$(tr -s ' \n' ' ' <<<"$out")
    for want in "Debian package ${debian[$pkg]}" "-D${first[$pkg]}=OFF"; do
        grep -qF -- "$want" <<<"$out" || { echo "FAIL $pkg hidden: no \"$want\" in: $out"; fails=$((fails + 1)); continue 2; }
    done
    echo "ok   $pkg hidden: names ${debian[$pkg]} and -D${first[$pkg]}=OFF"
done
if out=$(configure "${off[@]}" "${hide_all[@]}"); then
    echo "ok   every package hidden, every component off: the library configures"
else
    echo "FAIL every component off: $(tail -n 5 <<<"$out")"; fails=$((fails + 1))
fi
exit $((fails > 0))
