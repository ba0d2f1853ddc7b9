#!/usr/bin/env bash
# tavtop against real processes: a libtav host, hostile hosts (tests/tavtop/host.cpp
# names the modes), a process without libtav, and processes that do not exist
# or have exited; its man page. Usage: tavtop_test.sh TAVTOP HOST MANPAGE
set -u
tavtop=$1 host=$2 manpage=$3
here=$(dirname "$0")
dir=$(mktemp -d)
fails=0
sock="$dir/tmux0"
trap 'tmux -S "$sock" kill-server 2>/dev/null; rm -rf "$dir"' EXIT

verdict() { # NAME OK DETAIL
    if [ "$2" = 0 ]; then echo "ok   $1"; else echo "FAIL $1: $3"; fails=$((fails + 1)); fi
}

# expect NAME STATUS(0|1|2|nonzero) PATTERN -- command...: output must match PATTERN.
expect() {
    local name=$1 want=$2 pattern=$3 out rc
    shift 4
    out=$("$@" 2>&1)
    rc=$?
    out=${out//$'\n'/\~} # one line: patterns span lines with ~
    { [ "$want" = nonzero ] && [ $rc -ne 0 ]; } || [ "$want" = "$rc" ]
    local ok=$?
    grep -qE -- "$pattern" <<<"$out" || ok=1
    verdict "$name" $ok "status $rc, output: ${out:0:2000}"
}

# A host started on a pipe we hold open, so it runs until we close it.
start_host() {
    rm -f "$dir/self"
    coproc HOST { exec "$host" "$dir/self" "$@"; }
    pid=$HOST_PID
    for _ in $(seq 200); do [ -s "$dir/self" ] && return 0; kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    return 1
}
stop_host() { exec {HOST[1]}>&-; wait "$pid"; }

# The live view in a terminal of WxH; PID_FILE gets tavtop's PID, then the pane
# shows its status and whether the terminal was given back in canonical mode.
live() { # W H ARGS...
    local w=$1 h=$2
    shift 2
    tmux -S "$sock" kill-server 2>/dev/null
    sock="$dir/tmux$((${sock##*tmux} + 1))" # a server of its own: the last one may still be going
    tmux -S "$sock" new-session -d -x "$w" -y "$h" \
        "bash -c 'echo \$\$ >$dir/live.pid; exec $tavtop $*'; echo status=\$?; stty -a | grep -o -- '-*icanon'; sleep 30"
}
screen() { sleep "${1:-0.6}"; tmux -S "$sock" capture-pane -p; }
# expect_screen NAME PATTERN: the pane shows PATTERN within 6 s (a busy machine may lag).
expect_screen() {
    local name=$1 pattern=$2 out=
    for _ in $(seq 20); do
        out=$(screen 0.3)
        grep -qE -- "$pattern" <<<"${out//$'\n'/\~}" && break
    done
    expect "$name" 0 "$pattern" -- echo "$out"
}
keys() { tmux -S "$sock" send-keys "$@"; }
# The pane once tavtop has ended, waiting up to 10 s for it.
ended() { for _ in $(seq 100); do screen 0.1 | grep -q status= && break; done; screen 0; }

# No control byte but newline and tab, no 8-bit CSI, in what tavtop wrote.
clean() { ! LC_ALL=C grep -qaP '[\x00-\x08\x0b-\x1f\x7f\x9b]' "$@"; }

# --- The plain host ---------------------------------------------------------
start_host
# What tavtop reads from outside is what the host reports of itself (timestamps aside).
tail -n +2 "$dir/self" >"$dir/want.json"
"$tavtop" --json "$pid" | sed 's/"timestamp_ms":[0-9]*/"timestamp_ms":0/' >"$dir/got.json"
expect "--json equals the host's own view" 0 "" -- cmp "$dir/want.json" "$dir/got.json"
expect "--once: totals, and rows by bytes" 0 \
    "3 groups, 3 types, 3 pools, 68160 bytes charged, 26 refusals.*~TYPE +GROUP +BYTES +BUDGET +BLOCKS +ALLOCS +REFUSED~rx-buffer +net +65536 +0 +32 +32 +0~journal-record +storage +2048 +2048 +32 +32 +18~glyph" \
    -- "$tavtop" --once "$pid"
expect "-n 2: two readings" 0 "^process [^~]*~[^~]*~[^~]*~[^~]*~[^~]*~~process" -- "$tavtop" -n 2 -d 0.1 "$pid"
"$tavtop" --openmetrics "$pid" >"$dir/metrics"
expect "--openmetrics is OpenMetrics" 0 "families" -- "$here/../tools/openmetrics_check" <"$dir/metrics"
expect "--openmetrics: pid and comm on the series" 0 \
    "tav_group_charged_bytes\{pid=\"$pid\",comm=\"tavtop_test_hos\",group=\"net\"\} 65536" -- cat "$dir/metrics"
"$tavtop" --prometheus "$pid" >"$dir/prom"
expect "--prometheus is text 0.0.4, clean for promtool" 0 "" -- promtool check metrics <"$dir/prom"
expect "--json --trace names callers in the host, demangled" 0 '"caller_name":"\(anonymous namespace\)::known_host\(\)\+0x' -- "$tavtop" --json --trace "$pid"

# The live view in a real terminal of 80 columns: every key, then the target exits.
live 80 24 -d 0.2 "$pid"
expect_screen "live view at 80 columns: header, and the type rows with blocks, refusals and rates" \
    "up [0-9]+s~groups 3  types 3  pools 3  charged 68160  refusals 26.*NAME +GROUP +BYTES +BLOCKS +REFUSED +BYTES/S +ALLOCS/S~rx-buffer +net +65536 +32 +0 +0 +0 *~journal-record"
keys p
expect_screen "live view: pools with peaks" "view pools.*POOL +BYTES +BLOCKS +PEAK.*~2048 +65536 +32 +32 .*~64 .*~128 "
keys g n
expect_screen "live view: groups by name, a budget's use" "view groups, sorted by name.*~net +65536 +65536 +100% +1 +8 .*~storage .*~ui "
keys x
expect_screen "live view: the trace ring, its own header, callers named" \
    "trace ring of 1024, newest first.*~EVENT +SIZE ADDRESS +CALLER~alloc +64 0x[0-9a-f]+ +\(anonymous namespace\)::known_host\(\)\+0x"
keys t / j o u Enter
expect_screen "live view: a filter on names" "rows 1-1 of 1, filter \"jou\".*~journal-record "
keys '?'
expect_screen "live view: help lists the keys" "PgUp PgDn +scroll a page.*~ +q +quit"
keys Escape Escape
tmux -S "$sock" resize-window -x 60 -y 8
expect_screen "live view at 60x8: columns dropped, nothing wrapped" \
    "~NAME +BYTES +BLOCKS +REFUSED +BYTES/S +ALLOCS/S~journal~cord +2048 +32 +18 +0 +0$"
stop_host
expect_screen "live view: says the target exited" "exited; press q"
keys q
expect "live view: q quits, the terminal given back" 0 "status=1~icanon" -- ended
expect "a target that has exited" 1 "no such process: $pid$" -- "$tavtop" --once "$pid"

# The terminal given back when tavtop is ended by a signal or a fault.
start_host
for sig in TERM SEGV; do
    live 80 24 "$pid"
    screen >/dev/null
    kill -"$sig" "$(cat "$dir/live.pid")"
    expect "live view ended by SIG$sig gives the terminal back" 0 "status=(1|13[0-9]|14[0-9])~icanon" -- ended
done

# --- The command line ----------------------------------------------------------
for args in "--trace --once" "--trace --openmetrics" "-d 1 --json" "-n 2 --once" "-n 2 --prometheus" \
    "--once --json"; do
    expect "refused: $args" 2 "^tavtop: " -- "$tavtop" $args "$pid"
done
expect "-d 0: the range in a few words" 2 "^tavtop: -d takes seconds from 0.1 to 86400$" -- "$tavtop" -d 0 "$pid"
expect "PID 2^32+p is not p" 2 "PID takes a process ID from 1 to" -- "$tavtop" --once $((4294967296 + pid))
expect "a PID that is not a number" 2 "PID" -- "$tavtop" --once nonsense
expect "--help lists flags and keys" 0 "--timeout SECONDS.*~  PgUp PgDn +scroll a page" -- "$tavtop" --help
expect "the man page, from the same tables, is clean roff" 0 "^$" -- groff -man -ww -z "$manpage"
stop_host

start_host garbage
expect "garbage in the control block" 1 "^tavtop: process $pid .*(implausible|cannot be read)" -- "$tavtop" --json "$pid"
stop_host
sleep 30 &
sleeper=$!
expect "a process without libtav" 1 "^tavtop: process $sleeper \(sleep\) does not define tavnode$" -- "$tavtop" "$sleeper"
kill "$sleeper"
nopid=$(($(cat /proc/sys/kernel/pid_max) - 1))
[ -e /proc/$nopid ] || expect "no such process" 1 "^tavtop: no such process: $nopid$" -- "$tavtop" $nopid
head -c1 /proc/1/maps >/dev/null 2>&1 ||
    expect "a process we may not read" 1 "not permitted.*CAP_SYS_PTRACE" -- "$tavtop" --once 1

# --- Hostile hosts -------------------------------------------------------------
# Each mode read by every output a few times: an exit status of 0 or 1 (no
# crash, no hang), nothing raw on the terminal, metrics that parse.
outputs=("--once" "--json" "--json --trace" "--openmetrics" "--prometheus")
for mode in escapes rewrite wide bomb busy; do
    start_host "$mode" || { verdict "host $mode starts" 1 "it did not"; continue; }
    bad=""
    for run in 1 2; do
        for args in "${outputs[@]}"; do
            [ "$mode" = wide ] && { [ "$run" -gt 1 ] || [ "$args" = "--json --trace" ] || [ "$args" = --prometheus ]; } &&
                continue # 30,000 by 30,000: one reading of each kind
            timeout -k 5 60 "$tavtop" $args "$pid" >"$dir/out" 2>"$dir/err"
            rc=$?
            { [ $rc -le 1 ] && { [ $rc = 0 ] || [ "$mode" = rewrite ]; }; } || bad+=" $args: status $rc $(head -c 300 "$dir/err");"
            clean "$dir/out" "$dir/err" || bad+=" $args: raw control bytes;"
            [ $rc = 0 ] && [ "$mode" != wide ] || continue # the parsers take long over 20 MB
            [ "$args" = --openmetrics ] && ! "$here/../tools/openmetrics_check" <"$dir/out" >/dev/null 2>&1 &&
                bad+=" not OpenMetrics;"
            [ "$args" = --prometheus ] && ! promtool check metrics <"$dir/out" >/dev/null 2>&1 &&
                bad+=" promtool rejects it;"
        done
    done
    verdict "$mode: every output, no crash, nothing raw" "$([ -z "$bad" ]; echo $?)" "$bad"
    live 100 30 -d 0.2 "$pid"
    title=$(tmux -S "$sock" display -p '#{pane_title}')
    screen 1 >/dev/null
    keys x End t p Home g / a Enter
    screen >"$dir/pane"
    keys q
    ended >>"$dir/pane"
    clean "$dir/pane" && [ "$(tmux -S "$sock" display -p '#{pane_title}')" = "$title" ] &&
        grep -qE "status=[01]~|status=[01]$" <<<"$(tr '\n' '~' <"$dir/pane")"
    verdict "$mode: the live view, every view, q" $? "$(cat "$dir/pane")"
    case $mode in
    escapes)
        expect "escapes: names and process name escaped, duplicates told apart" 0 \
            '^process [0-9]+ \(\\x1b\]0;x\\x07\\x1b\[2J\\n\): 4 groups, 7 types.*~a\\x1b\]52;c;cHduZWQ=\\x07#4 ' \
            -- "$tavtop" --once "$pid"
        verdict "escapes: no forged rows" "$([ "$("$tavtop" --once "$pid" | wc -l)" = 9 ]; echo $?)" ""
        expect "escapes: a mapped path's name escaped" 0 '\\\\x1b\]2;mapped\\\\x07' -- "$tavtop" --json --trace "$pid" ;;
    bomb)
        /usr/bin/python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:])
print(); print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$tavtop" --json --trace "$pid" >"$dir/out"
        rss=$(tail -1 "$dir/out")
        grep -qE '"caller_name":"A{1024}\+0x0"' "$dir/out" && [ "$rss" -lt $((512 * 1024)) ]
        verdict "bomb: callers named from cut names, under 512 MB" $? "max RSS $rss KB" ;;
    wide)
        verdict "wide: 30,000 type rows" "$([ "$("$tavtop" --once "$pid" | wc -l)" = 30002 ]; echo $?)" "" ;;
    busy)
        n=0
        for _ in $(seq 20); do "$tavtop" --json "$pid" >/dev/null 2>&1 && n=$((n + 1)); done
        verdict "busy: 20 readings of 20" $((n != 20)) "$n" ;;
    esac
    stop_host
done

if start_host stall; then
    expect "stall: a read that never returns ends at --timeout" 1 "does not answer" -- timeout -k 5 20 "$tavtop" --timeout 1 --json "$pid"
    stop_host
else
    echo "SKIP stall: no userfaultfd here (it needs CAP_SYS_PTRACE or vm.unprivileged_userfaultfd)"
fi
exit $((fails > 0))
