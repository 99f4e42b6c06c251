#!/usr/bin/env bash
# scripts/lib/suite.sh, the helpers of the suite's scripts: a zombie counts as ended
# also in a terminal's foreground group (where ps says Z+), stop_pids kills what
# ignores SIGTERM and keeps each exit status, usage prints the help text as it is,
# jackd_overruns counts only the two overrun lines, sorted_graph compares graphs
# whatever order their connections came in, and each script that keeps its help in
# USAGE prints it.
#
#   suite_lib_test.sh <scripts dir>
set -uo pipefail
scripts=$(cd "$1" && pwd)
prog=suite_lib_test
. "$scripts/lib/suite.sh"

failed=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failed=1; fi
}

# Run under `script`, in a terminal: a zombie in this foreground process group.
if [ "${2:-}" = --in-terminal ]; then
    tmp=$3
    # The holder execs a sleep that never reaps its child: that child stays a zombie.
    bash -c 'sleep 0 & echo $! >"$1"; exec sleep 30' holder "$tmp/zombie" &
    holder=$!
    for ((k = 0; k < 50; k++)); do
        [ -s "$tmp/zombie" ] && [[ $(ps -o stat= -p "$(cat "$tmp/zombie")") == Z* ]] && break
        sleep 0.1
    done
    zombie=$(cat "$tmp/zombie")
    state=$(ps -o stat= -p "$zombie")
    # Z+, or ZN+ when the test runs under nice.
    check "ps shows the zombie in the foreground group as Z...+ (is: $state)" eval '[[ $state == Z*+ ]]'
    check "alive: a zombie has ended" eval '! alive "$zombie"'
    check "alive: its parent runs" alive "$holder"
    started=${EPOCHREALTIME//[!0-9]/}
    check "wait_gone: returns at once on the zombie" wait_gone "$zombie"
    took=$(((${EPOCHREALTIME//[!0-9]/} - started) / 1000))
    check "wait_gone took $took ms, under 500" [ "$took" -lt 500 ]
    kill "$holder"
    exit "$failed"
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The terminal's lines end in CR LF.
script -qfec "bash $0 $scripts --in-terminal $tmp" /dev/null </dev/null | tr -d '\r'
[ "${PIPESTATUS[0]}" = 0 ] || failed=1
check "alive: no such process" eval '! alive 999999999'

# stop_pids: one process that ends on SIGTERM, one that ignores it.
sleep 30 &
plain=$!
sh -c 'trap "" TERM; exec sleep 30' &
stubborn=$!
sleep 0.2
started=${EPOCHREALTIME//[!0-9]/}
stop_pids -t 0.5 "$plain" "$stubborn"
said=$?
took=$(((${EPOCHREALTIME//[!0-9]/} - started) / 1000))
check "stop_pids: says one had to be killed" [ "$said" = 1 ]
check "stop_pids: took $took ms, under 1500" [ "$took" -lt 1500 ]
check "stop_pids: status 143 (SIGTERM) and 137 (SIGKILL)" \
    [ "${stopped_status[$plain]}-${stopped_status[$stubborn]}" = 143-137 ]
check "stop_pids: both gone" eval '! alive "$plain" && ! alive "$stubborn"'

# The bash and Python tools run the suite with the same settings.
python_facts=$(PYTHONPATH=$scripts /usr/bin/python3 -c \
    'from suitetools import facts; print(facts.RATE, facts.DELAY_MS, facts.FEEDBACK)')
check "settings: the same in suite.sh and facts.py ($python_facts)" \
    [ "$python_facts" = "$suite_rate $suite_delay_ms $suite_feedback" ]

# usage: the text as it is, on standard output for --help, else on standard error.
USAGE=$(printf '  scripts/x [--y] $HOME `z` 100%%\n\n  the end')
(usage) >"$tmp/out" 2>"$tmp/err"
status=$?
check "usage: status 0" [ "$status" = 0 ]
check "usage: the text on standard output" [ "$(cat "$tmp/out")" = "$USAGE" ]
check "usage: nothing on standard error" [ ! -s "$tmp/err" ]
(usage 2) >"$tmp/out" 2>"$tmp/err"
status=$?
check "usage 2: status 2, the text on standard error only" \
    eval '[ "$status" = 2 ] && [ "$(cat "$tmp/err")" = "$USAGE" ] && [ ! -s "$tmp/out" ]'

# jackd_overruns: the lines as jackd writes them, and near misses that do not count.
cat >"$tmp/jackd.log" <<'EOF'
JackTimedDriver::Process XRun = 312 usec
JackAudioDriver::ProcessGraphAsyncMaster: Process error
JackEngine::XRun: client = spinreel was not finished, state = Triggered
JackEngine::XRun: client fuzzpedal finished after current callback
JackTimedDriver::Process XRun = 40 usec
 JackTimedDriver::Process XRun = 1 usec
JackAudioDriver::ProcessGraphAsyncMaster: Process error, and more
Jack: JackTimedDriver::Process XRun = 5 usec
EOF
check "jackd_overruns: 2 late, 1 unfinished, 2 client lines" \
    [ "$(jackd_overruns "$tmp/jackd.log")" = "2 1 2" ]

# type_keys: the bar's first keys, then none once the process it waits on has ended.
open_keys "$tmp"
type_keys -n 3 -l "$tmp/typed"
read -r -N 3 -t 1 -u "$keys" got
check "type_keys: a, d, s into the FIFO and the log" [ "$got-$(cat "$tmp/typed")" = ads-ads ]
type_keys -u 999999999 -l "$tmp/none"
check "type_keys: nothing once the process has ended" [ ! -e "$tmp/none" ]
# A trap runs at once while type_keys waits, in its scope: it must see the script's log.
(
    log=the-script-log me=$BASHPID
    trap 'echo "$log" >"$tmp/trap-saw"; exit 0' TERM
    (sleep 0.4; kill -TERM "$me") &
    type_keys -n 20 -l "$tmp/typed-2"
)
check "a trap during type_keys sees the script's own log" [ "$(cat "$tmp/trap-saw")" = the-script-log ]

# sorted_graph: the same graph whatever order its connections were made in.
one=$(printf 'a:out\n   b:in\n   c:in\nb:in\n   a:out\n' | sorted_graph)
other=$(printf 'a:out\n   c:in\n   b:in\nb:in\n   a:out\n' | sorted_graph)
third=$(printf 'a:out\n   c:in\nb:in\n' | sorted_graph)
check "sorted_graph: one graph, connections in either order, compare equal" [ "$one" = "$other" ]
check "sorted_graph: a lost connection shows" [ "$one" != "$third" ]

# The scripts' help, from their USAGE.
for name in demo demo-net soak soak-net bench-suite bench-shm; do
    out=$("$scripts/$name" --help)
    status=$?
    check "$name --help: status 0 and its usage" \
        eval '[ "$status" = 0 ] && grep -q "^  scripts/$name \[" <<<"$out"'
done
for name in net-hosts armhf-jackd; do
    out=$("$scripts/$name" 2>&1 >/dev/null)
    status=$?
    check "$name without arguments: status 2 and its usage" \
        eval '[ "$status" = 2 ] && grep -q "^  scripts/$name [a-z]" <<<"$out"'
done
exit "$failed"
