#!/usr/bin/env bash
# Every dependency a component requires, hidden in turn from a fresh configure:
# the configure step must stop with a message naming the Debian package and
# the option that leaves the component out, and must pass with the component
# (and any other that needs the same package) switched off.
# Usage: configure_test.sh SOURCE_DIR CMAKE
set -u
src=$1 cmake=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# tav_require(<option> <package> <debian package> ...) calls, as written in the build files.
mapfile -t reqs < <(grep -rhoE --include=CMakeLists.txt '^ *tav_require\((TAV_[A-Z_]+) ([A-Za-z0-9_]+) ("[^"]*"|[^ )]+)' "$src" |
    sed -E 's/^ *tav_require\(//; s/"//g')
[ ${#reqs[@]} -gt 0 ] || { echo "FAIL no tav_require calls found"; exit 1; }

# The options that need each package, in the order the build asks for them.
declare -A options debian
packages=()
for r in "${reqs[@]}"; do
    read -r opt pkg deb <<<"$r"
    [ -n "${options[$pkg]:-}" ] || packages+=("$pkg")
    case " ${options[$pkg]:-} " in *" $opt "*) ;; *) options[$pkg]="${options[$pkg]:-} $opt" ;; esac
    debian[$pkg]=$deb
done

check() { # package: prints one verdict line
    local pkg=$1 dir=$work/$1 opts first off=()
    read -ra opts <<<"${options[$pkg]}"
    first=${opts[0]}
    out=$("$cmake" -S "$src" -B "$dir/hidden" -DCMAKE_DISABLE_FIND_PACKAGE_"$pkg"=ON 2>&1)
    if [ $? -eq 0 ]; then echo "FAIL $pkg hidden: configure passed"; return; fi
    out=$(tr -s ' \n' ' ' <<<"$out")
    for want in "Debian package ${debian[$pkg]}" "-D$first=OFF"; do
        grep -qF -- "$want" <<<"$out" || { echo "FAIL $pkg hidden: no \"$want\" in: $out"; return; }
    done
    for o in "${opts[@]}"; do off+=("-D$o=OFF"); done
    out=$("$cmake" -S "$src" -B "$dir/off" -DCMAKE_DISABLE_FIND_PACKAGE_"$pkg"=ON "${off[@]}" 2>&1) ||
        { echo "FAIL $pkg hidden with ${off[*]}: $(tail -n 5 <<<"$out")"; return; }
    echo "ok   $pkg: names ${debian[$pkg]} and -D$first=OFF"
}
fails=0
for p in "${packages[@]}"; do
    line=$(check "$p")
    echo "$line"
    [[ $line == ok* ]] || fails=$((fails + 1))
done
exit $((fails > 0))
