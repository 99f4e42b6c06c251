# The soaks' bookkeeping (scripts/soak and scripts/soak-net, after suite.sh): the
# soak's clock, its events, commands a trap can cut short, and ending processes within
# a bound. Expects `start_us` (the soak's start, EPOCHREALTIME without its dot) and
# `out` (where events.tsv goes); counts failed events in `failures`, and keeps the
# command run_bg waits for in `child_pid` for an exit trap to end.

now_ms() { local n=${EPOCHREALTIME/./}; echo $(((n - start_us) / 1000)); }
seconds() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }
say() { printf '[%7s] %s\n' "$(seconds "$(now_ms)")" "$*"; }
# event <what> ok|FAIL|note <detail>: a line of events.tsv, which the report judges.
event() {
    local t
    t=$(now_ms)
    printf '%s\t%s\t%s\t%s\n' "$(seconds "$t")" "$1" "$2" "$3" >>"$out/events.tsv"
    [ "$2" = FAIL ] && failures=$((failures + 1))
    printf '[%7s] %-20s %-4s %s\n' "$(seconds "$t")" "$1" "$2" "$3"
}

# A command in the background, waited for: bash runs a trap only once a foreground
# command has ended, but at once during `wait`.
run_bg() {
    "$@" &
    child_pid=$!
    local s=0
    wait "$child_pid" || s=$?
    child_pid=
    return "$s"
}

# end_process <pid> <deadline in ms>: waits for the process to end until the deadline;
# sets ended_status and ended_ms (when it was seen gone). Returns 1 when it was still
# running at the deadline; it is then killed.
end_process() {
    local p=$1 deadline=$2 t
    while alive "$p"; do
        t=$(now_ms)
        if [ "$t" -gt "$deadline" ]; then
            kill -KILL "$p" 2>/dev/null || true
            ended_status=0
            wait "$p" 2>/dev/null || ended_status=$?
            ended_ms=$t
            return 1
        fi
        sleep 0.01
    done
    ended_ms=$(now_ms)
    ended_status=0
    wait "$p" 2>/dev/null || ended_status=$?
} 2>/dev/null  # without bash's own line on a child that a signal killed
# stop_process <pid> <signal> <bound in ms>: sends the signal and waits as end_process
# does; also sets sent_ms and took_ms.
stop_process() {
    kill -s "$2" "$1" 2>/dev/null || true
    sent_ms=$(now_ms)
    local s=0
    end_process "$1" $((sent_ms + $3)) || s=1
    took_ms=$((ended_ms - sent_ms))
    return "$s"
} 2>/dev/null

# Until the process has its handlers for SIGHUP, SIGINT, SIGQUIT and SIGTERM (bits 0,
# 1, 2 and 14 of SigCgt): a signal before that would meet the default action.
wait_handlers() {
    local k mask
    for ((k = 0; k < 100; k++)); do
        mask=$(awk '/^SigCgt:/ { print $2 }' "/proc/$1/status" 2>/dev/null || true)
        [ -n "$mask" ] && [ $((16#$mask & 0x4007)) = $((0x4007)) ] && return 0
        sleep 0.05
    done
    return 1
}


# next_signal <role>: sets `sig` to the signal that stops the role's client this time:
# SIGTERM, SIGINT, SIGHUP and SIGQUIT, taking turns.
soak_signals=(TERM INT HUP QUIT)
declare -A soak_signal_turn=()
next_signal() {
    local n=${soak_signal_turn[$1]:-0}
    soak_signal_turn[$1]=$((n + 1))
    sig=${soak_signals[n % 4]}
}

# stopped_by_signal <role> <pid> <its log>: sends `sig`; the client must end within 2 s
# with status 0 and one "signal received, exiting ..." line in its log. Else a failed
# event of "fault <role>" and status 1. Sets took_ms.
stopped_by_signal() {
    local lines
    if ! stop_process "$2" "$sig" 2000; then
        event "fault $1" FAIL "still running 2 s after SIG$sig (pid $2; killed)"
    elif [ "$ended_status" != 0 ]; then
        event "fault $1" FAIL "SIG$sig ended it with status $ended_status, not 0"
    else
        lines=$(grep -c '^signal received, exiting \.\.\.$' "$3" || true)
        [ "$lines" = 1 ] && return 0
        event "fault $1" FAIL "$lines lines \"signal received, exiting ...\" after SIG$sig"
    fi
    return 1
}

# stopped_at_end <what> <pid>: the orderly end of a client: SIGTERM, status 0 within 2 s,
# else a failed event of "stop <what>".
stopped_at_end() {
    if ! stop_process "$2" TERM 2000; then
        event "stop $1" FAIL "still running 2 s after SIGTERM (killed)"
    elif [ "$ended_status" != 0 ]; then
        event "stop $1" FAIL "SIGTERM ended it with status $ended_status, not 0"
    fi
}
