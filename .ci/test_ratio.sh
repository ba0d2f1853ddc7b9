#!/usr/bin/env bash
# The suite stays a quarter to a third of the code: non-blank lines of the
# tracked sources under tests/ against all the others (docs/ aside). Data
# files (expected outputs, fuzz seeds) are not sources and do not count.
set -euo pipefail
cd "$(dirname "$0")/.."
max=${1:-0.34}
tests=0 others=0
while IFS= read -r f; do
    [[ -f $f ]] || continue
    n=$(grep -cv '^[[:space:]]*$' "$f" || true)
    if [[ $f == tests/* ]]; then tests=$((tests + n)); else others=$((others + n)); fi
done < <(git ls-files | grep -v '^docs/' |
         grep -E '\.(c|h|cpp|hpp|sh|py|cmake)$|(^|/)CMakeLists\.txt$|^\.ci/run$|^bench/[^/.]+$')
ratio=$(awk -v t="$tests" -v o="$others" 'BEGIN { printf "%.4f", t / (t + o) }')
echo "test lines: $tests of $((tests + others)) ($ratio, at most $max)"
awk -v t="$tests" -v o="$others" -v m="$max" 'BEGIN { exit !(t <= m * (t + o)) }' # exact, not the rounded ratio
