#!/usr/bin/env bash
# tavtop against real processes: a libtav host, a process without libtav, and
# processes that do not exist or have exited. Usage: tavtop_test.sh TAVTOP HOST
set -u
tavtop=$1 host=$2
dir=$(mktemp -d)
fails=0
trap 'rm -rf "$dir"' EXIT

# expect NAME STATUS(0|nonzero) PATTERN -- command...: output must match PATTERN.
expect() {
    local name=$1 want=$2 pattern=$3
    shift 4
    local out rc
    out=$("$@" 2>&1)
    rc=$?
    out=${out//$'\n'/\~} # one line: patterns span lines with ~
    if { [ "$want" = 0 ] && [ $rc -ne 0 ]; } || { [ "$want" != 0 ] && [ $rc -eq 0 ]; } ||
        ! grep -qE -- "$pattern" <<<"$out"; then
        echo "FAIL $name: status $rc, output: $out"
        fails=$((fails + 1))
    else
        echo "ok   $name"
    fi
}

# A host started on a pipe we hold open, so it waits until we close it.
start_host() {
    rm -f "$dir/self"
    coproc HOST { exec "$host" "$dir/self" "$@"; }
    pid=$HOST_PID
    for _ in $(seq 100); do [ -s "$dir/self" ] && return; sleep 0.05; done
    echo "FAIL host did not start"; exit 1
}
stop_host() { exec {HOST[1]}>&-; wait "$pid"; }

start_host
# What tavtop reads from outside is what the host reports of itself (timestamps aside).
tail -n +2 "$dir/self" >"$dir/want.json"
"$tavtop" --json "$pid" | sed 's/"timestamp_ms":[0-9]*/"timestamp_ms":0/' >"$dir/got.json"
expect "--json equals the host's own view" 0 "" -- cmp "$dir/want.json" "$dir/got.json"
expect "--once: totals, and rows by bytes" 0 \
    "3 groups, 3 types, 3 pools, 68160 bytes charged, 26 refusals.*~TYPE +GROUP +BYTES[^~]*~rx-buffer +net +65536 +0 +32 +0 +0 *~journal-record +storage +2048 +2048 +32 +0 +18 *~glyph" -- "$tavtop" --once "$pid"
"$tavtop" --openmetrics "$pid" >"$dir/metrics"
expect "--openmetrics is OpenMetrics, every series labelled with the pid" 0 "families" -- \
    "$(dirname "$0")/../tools/openmetrics_check" <"$dir/metrics"
expect "--openmetrics: pid and comm on the series" 0 "tav_group_charged_bytes\{pid=\"$pid\",comm=\"tavtop_test_hos\",group=\"net\"\} 65536" -- cat "$dir/metrics"
expect "--json --trace names callers in the host" 0 '"caller_name":"main\+0x' -- "$tavtop" --json --trace "$pid"

# The live view in a real terminal: sort, switch views, resize, then the target exits.
sock="$dir/tmux"
tmux -S "$sock" new-session -d -x 132 -y 30 "$tavtop -d 0.2 $pid; echo status=\$?; sleep 5"
screen() { sleep 0.6; tmux -S "$sock" capture-pane -p; }
expect "live view: header and type rows" 0 "types 3 +pools 3 +charged 68160 +refusals 26.*~rx-buffer +net +65536 +0 .*~journal-record +storage +2048 +2048 *\\[#+\\]" -- screen
tmux -S "$sock" send-keys n
expect "live view: sorted by name" 0 "sorted by name.*~glyph .*~journal-record .*~rx-buffer " -- screen
tmux -S "$sock" send-keys p
tmux -S "$sock" resize-window -x 100 -y 20 2>/dev/null
expect "live view: pool view after a resize" 0 "view pools.*~64 .*~128 .*~2048 +65536 +131072" -- screen
stop_host
expect "live view: says the target exited" 0 "exited; press q" -- screen
tmux -S "$sock" send-keys q
expect "live view: q quits" 0 "status=1" -- screen
tmux -S "$sock" kill-server 2>/dev/null
expect "a target that has exited" 1 "no such process: $pid$" -- "$tavtop" --once "$pid"

start_host garbage
expect "garbage in the control block" 1 "^tavtop: process $pid .*(implausible|cannot be read)" -- "$tavtop" --json "$pid"
stop_host

sleep 30 &
sleeper=$!
expect "a process without libtav" 1 "^tavtop: process $sleeper \(sleep\) does not define tavnode$" -- "$tavtop" "$sleeper"
kill "$sleeper"
expect "no such process" 1 "^tavtop: no such process: 999999999$" -- "$tavtop" 999999999
expect "a PID that is not a number" 1 "PID" -- "$tavtop" --once nonsense
head -c1 /proc/1/maps >/dev/null 2>&1 ||
    expect "a process we may not read" 1 "not permitted.*ptrace_scope.*CAP_SYS_PTRACE" -- "$tavtop" --once 1
exit $((fails > 0))
