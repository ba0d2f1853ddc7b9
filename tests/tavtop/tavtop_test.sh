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
    coproc HOST { exec "$host" "$dir/self"; }
    for _ in $(seq 100); do [ -s "$dir/self" ] && return; sleep 0.05; done
    echo "FAIL host did not start"; exit 1
}

start_host
# The address tavtop finds (through the maps and the load bias) is the one the host reports of itself.
pid=$HOST_PID
addr=$(grep -oE '0x[0-9a-f]+' "$dir/self")
expect "finds the host's own tavnode" 0 "^process $pid \\(tavtop_test_hos\\): tavnode at $addr in /" -- "$tavtop" --once "$pid"
exec {HOST[1]}>&-
wait "$pid"
expect "a target that has exited" 1 "no such process: $pid$" -- "$tavtop" --once "$pid"

sleep 30 &
sleeper=$!
expect "a process without libtav" 1 "^tavtop: process $sleeper \(sleep\) does not define tavnode$" -- "$tavtop" "$sleeper"
kill "$sleeper"
expect "no such process" 1 "^tavtop: no such process: 999999999$" -- "$tavtop" 999999999
expect "a PID that is not a number" 1 "PID" -- "$tavtop" --once nonsense
head -c1 /proc/1/maps >/dev/null 2>&1 ||
    expect "a process we may not read" 1 "not permitted.*ptrace_scope.*CAP_SYS_PTRACE" -- "$tavtop" --once 1
exit $((fails > 0))
