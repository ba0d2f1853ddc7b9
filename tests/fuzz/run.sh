#!/usr/bin/env bash
# Builds tav_fuzz with clang and runs it for a bounded time on a scratch copy
# of the seed corpus (the checked-in corpus never grows), with the regression
# inputs as extra seeds. Prints "fuzz executions: N" at the end.
#
#   tests/fuzz/run.sh [BUILD_DIR] [SECONDS] [-- LIBFUZZER_OPTIONS...]
#
# BUILD_DIR defaults to build-fuzz at the top of the tree, SECONDS to 90.
# Crash inputs are written to BUILD_DIR/fuzz-artifacts/.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$root/build-fuzz
seconds=90
extra=()
[[ $# -gt 0 && $1 != -- ]] && { build=$1; shift; }
[[ $# -gt 0 && $1 != -- ]] && { seconds=$1; shift; }
[[ $# -gt 0 && $1 == -- ]] && { shift; extra=("$@"); }

cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTAV_FUZZ=ON \
    -DTAV_BUILD_TESTS=OFF -DTAV_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tav_fuzz -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$build/fuzz-artifacts"
cp "$here"/corpus/* "$work/corpus/"
seeds=("$work/corpus")
compgen -G "$here/regressions/*" >/dev/null && seeds+=("$here/regressions")

status=0
"$build/tests/fuzz/tav_fuzz" -max_total_time="$seconds" -max_len=2048 -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/" "${extra[@]}" "${seeds[@]}" 2>&1 | tee "$work/log" || status=$?

runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$work/log" | tail -n1)
[[ -n $runs ]] || runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$work/log" | tail -n1)
echo "fuzz executions: ${runs:-0}"
if [[ $status -ne 0 ]]; then
    echo "tav_fuzz failed (status $status); the input is in $build/fuzz-artifacts/" >&2
fi
exit "$status"
