# Helpers of the suite's scripts, sourced by scripts/demo, demo-net, soak, bench-suite
# and bench-shm (and for usage, die and alive by net-hosts and armhf-jackd): help and
# messages, the processes a script starts and stops, its JACK servers and their ports,
# mount namespaces, the build, memwarden, padplayer's keys and jackd's overrun lines.
#
# A script sets `USAGE`, its help text, and `prog`, its name in messages
# ("scripts/demo"); `root`, the checkout, where it builds or runs itself again.
# Variables that a function sets for its caller are named in its comment; any other
# is local, and named with a leading _: a trap that runs while a function waits runs
# in the function's scope, and must see the script's own variables (log, out, ...),
# not a local of the same name. Functions that may fail say so and return non-zero,
# also under set -e.

# ---- help and messages ----

# usage [STATUS]: prints $USAGE and ends the script: on standard output with status 0
# (--help), else on standard error with STATUS (a command line it cannot take).
usage() {
    if [ "${1:-0}" = 0 ]; then
        printf '%s\n' "$USAGE"
        exit 0
    fi
    printf '%s\n' "$USAGE" >&2
    exit "$1"
}

# die MESSAGE: "<prog>: MESSAGE" on standard error, and the script ends with status 1.
die() {
    echo "$prog: $*" >&2
    exit 1
}

# step TITLE: a blank line and "== TITLE", the heading of a stage of a run.
step() { printf '\n== %s\n' "$*"; }

# ---- the suite's settings ----

# As scripts/suitetools/facts.py has them for the Python tools (a test holds the two
# together): every server's rate, and tapdelay's arguments in the demo and the soak.
suite_rate=44100
suite_delay_ms=250 suite_feedback=40

# ---- processes ----

# suite_micros SECONDS: whole or decimal seconds in microseconds, into suite_us.
suite_micros() {
    local _whole=${1%%.*} _fraction=
    [[ $1 != *.* ]] || _fraction=${1#*.}
    _fraction=${_fraction}000000
    suite_us=$((10#${_whole:-0} * 1000000 + 10#${_fraction:0:6}))
}

# alive PID: whether the process still runs. One that has ended but is not reaped yet
# (a zombie) does not: its state in /proc is Z, or X while it is reaped. (ps adds
# flags to the state, such as Z+ for a zombie in a terminal's foreground group, which
# a comparison with exactly Z misses.)
alive() {
    local _stat
    { read -r _stat <"/proc/$1/stat"; } 2>/dev/null || return 1
    _stat=${_stat##*) }
    case ${_stat%% *} in Z* | X*) return 1 ;; esac
}

# wait_gone [-t SECONDS] PID...: until none of the processes runs, 3 s at most;
# returns 1 when one still runs then.
wait_gone() {
    local _within=3 _p
    if [ "${1:-}" = -t ]; then _within=$2; shift 2; fi
    suite_micros "$_within"
    local _deadline=$((${EPOCHREALTIME//[!0-9]/} + suite_us))
    while :; do
        for _p in "$@"; do
            if alive "$_p"; then break; fi
            _p=
        done
        [ -n "${_p:-}" ] || return 0
        [ "${EPOCHREALTIME//[!0-9]/}" -lt "$_deadline" ] || return 1
        sleep 0.05
    done
}

# stop_pids [-t SECONDS] PID...: SIGTERM to each (the last named first), up to 3 s
# for all of them to end, then SIGKILL to any still running; each is reaped, and the
# exit status of each of this shell's children kept in stopped_status[PID]. Empty
# PIDs are left out. Returns 1 when one had to be killed.
declare -gA stopped_status=()
stop_pids() {
    local - _within=3 _pids=() _p _i _s _killed=0
    set +e
    if [ "${1:-}" = -t ]; then _within=$2; shift 2; fi
    for _p in "$@"; do [ -z "$_p" ] || _pids+=("$_p"); done
    for ((_i = ${#_pids[@]} - 1; _i >= 0; _i--)); do kill -TERM "${_pids[_i]}"; done
    if ! wait_gone -t "$_within" "${_pids[@]}"; then
        _killed=1
        for _p in "${_pids[@]}"; do kill -KILL "$_p"; done
    fi
    for _p in "${_pids[@]}"; do
        wait "$_p"
        _s=$?
        stopped_status[$_p]=$_s
    done
    return "$_killed"
} 2>/dev/null  # without kill's complaints and bash's line on a child a signal ended

# note_process NAME PID: a process that stop_noted is to stop, kept in noted_names and
# noted_pids; a line "NAME PID" is also added to $processes_file where that is set.
noted_names=() noted_pids=()
note_process() {
    noted_names+=("$1")
    noted_pids+=("$2")
    [ -z "${processes_file:-}" ] || echo "$1 $2" >>"$processes_file"
}

# forget_process PID: one that the script has waited for itself.
forget_process() {
    local _i
    for _i in "${!noted_pids[@]}"; do
        [ "${noted_pids[_i]}" != "$1" ] || unset 'noted_pids[_i]' 'noted_names[_i]'
    done
    noted_pids=("${noted_pids[@]}") noted_names=("${noted_names[@]}")
}

# stop_noted: the noted processes stopped by stop_pids, and forgotten; a line
# "NAME PID exited with status S" for each, in the order they were noted.
stop_noted() {
    local _i
    stop_pids "${noted_pids[@]}" || true
    for _i in "${!noted_pids[@]}"; do
        echo "${noted_names[_i]} ${noted_pids[_i]} exited with status ${stopped_status[${noted_pids[_i]}]}"
    done
    noted_names=() noted_pids=()
}

# pause SECONDS: a sleep that a signal cuts short: bash runs a trap only once a
# foreground command has ended, but at once during `wait`. The sleep is sleep_pid
# meanwhile, for an exit trap to end.
sleep_pid=
pause() {
    sleep "$1" &
    sleep_pid=$!
    wait "$sleep_pid" || true
    sleep_pid=
}

# ---- mount namespaces ----

# run_in_namespace [--background] ARG...: this script again with ARG..., in a mount
# namespace of its own with private propagation, so that what it mounts there is
# seen by nobody else and goes with it. It replaces the shell (exec), or with
# --background runs beside it, its pid in namespace_pid. (Not `run_in_namespace &`:
# exec in that subshell would give the script back the SIGINT that bash ignores in a
# background job, and Ctrl-C would reach it beside the signal its caller sends.)
run_in_namespace() {
    local _command=(unshare -m --propagation private env SUITE_NAMESPACE="$prog"
                    "$root/scripts/${0##*/}")
    if [ "${1:-}" = --background ]; then
        shift
        "${_command[@]}" "$@" &
        namespace_pid=$!
    else
        exec "${_command[@]}" "$@"
    fi
}

# in_own_namespace: whether this script runs in the namespace run_in_namespace gave it.
in_own_namespace() { [ "${SUITE_NAMESPACE:-}" = "$prog" ]; }

# private_tmpfs DIR MODE: a fresh tmpfs with MODE on DIR (made if missing), in this
# mount namespace; one that this script mounted there before is unmounted first.
declare -gA suite_tmpfs=()
private_tmpfs() {
    mkdir -p "$1"
    if [ -n "${suite_tmpfs[$1]:-}" ]; then umount "$1" 2>/dev/null || true; fi
    mount -t tmpfs -o "mode=$2" tmpfs "$1"
    suite_tmpfs[$1]=1
}

# ---- building ----

# build_programs demo|all BUILD_DIR TARGET...: the packages of scripts/install-deps (its
# demo profile, or all), then TARGET... built in BUILD_DIR, optimised with debug
# information; a demo build leaves out the tests and the benchmarks and what they
# build with.
build_programs() {
    local _profile=$1 _dir=$2 _options=()
    shift 2
    if [ "$_profile" = demo ]; then
        "$root/scripts/install-deps" demo
        _options=(-DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF)
    else
        "$root/scripts/install-deps"
    fi
    cmake -S "$root" -B "$_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${_options[@]}" >/dev/null
    cmake --build "$_dir" -j "$(nproc)" --target "$@" >/dev/null
}

# check_programs FILE...: each program must be there and executable, each plug-in
# (*.so) there; else the script ends, naming the first that is missing.
check_programs() {
    local _p
    for _p in "$@"; do
        [ -x "$_p" ] || { [[ $_p == *.so ]] && [ -e "$_p" ]; } ||
            die "$_p is missing; build first (without --no-build)"
    done
}

# ---- JACK ----

# jackd_realtime: whether this machine lets a process run under SCHED_FIFO at the
# servers' priority; sets jackd_mode to jackd's switch: -R -P 10 (real-time mode at
# priority 10) where it does, else -r (none; the -r before -d is that switch, the one
# after "-d dummy" the sample rate).
jackd_realtime() {
    if chrt -f 10 true 2>/dev/null; then
        jackd_mode=(-R -P 10)
        return 0
    fi
    jackd_mode=(-r)
    return 1
}

# start_jackd LOG [PREFIX...] -- ARG...: jackd ARG... in the background in the mode
# jackd_realtime finds, run after PREFIX (settings through env, a host's
# `net-hosts run ...`), without standard input, its output into LOG; its pid into
# jackd_pid.
start_jackd() {
    local _log=$1 _prefix=()
    shift
    while [ "$1" != -- ]; do
        _prefix+=("$1")
        shift
    done
    shift
    jackd_realtime || true
    "${_prefix[@]}" jackd "${jackd_mode[@]}" "$@" </dev/null >"$_log" 2>&1 &
    jackd_pid=$!
}

# jackd_up [PREFIX...]: until the server answers, 10 s at most (jack_wait, run after
# PREFIX); returns 1 when it did not.
jackd_up() { "$@" jack_wait -w -t 10 >/dev/null 2>&1; }

# start_studio LOG LOAD_LOG PERIOD PREFIX...: a studio for JACK's network transport,
# run after PREFIX (the studio host's `net-hosts run ...`): jackd -n studio with the
# dummy backend at PERIOD frames, two capture and two playback ports, its output into
# LOG and its pid into jackd_pid, then netmanager loaded once it answers (jack_load's
# output into LOAD_LOG). Returns 1 when the server did not answer or netmanager did
# not load within 10 s.
start_studio() {
    local _log=$1 _load_log=$2 _period=$3
    shift 3
    start_jackd "$_log" "$@" -- -n studio -t 5000 -d dummy -r "$suite_rate" -p "$_period" -C 2 -P 2
    jackd_up "$@" && timeout 10 "$@" jack_load netmanager >"$_load_log" 2>&1
}

# sorted_graph: jack_lsp -c's listing on standard input, each port's connections in
# name order (the order in which they were made depends on which client got there
# first), so that two listings of the same graph compare equal.
sorted_graph() {
    awk '/^[^ \t]/ { port++; printf "%06d 0 %s\n", port, $0; next }
         { printf "%06d 1 %s\n", port, $0 }' |
        LC_ALL=C sort -k1,1n -k2,2n -k3 | cut -d' ' -f3-
}

# poll_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds (0) or
# SECONDS pass (1); a COMMAND that returns 2 gives up at once.
poll_until() {
    local _within=$1 _k _status
    shift
    for ((_k = 0; _k < _within * 10; _k++)); do
        "$@" && return 0
        _status=$?
        [ "$_status" -eq 2 ] && return 1
        sleep 0.1
    done
    return 1
}

_port_listed() {
    local _port=$1
    shift
    "$@" jack_lsp 2>/dev/null | grep -qx -- "$_port"
}

# wait_port [-t SECONDS] PORT [PREFIX...]: until jack_lsp (run after PREFIX) lists
# PORT, 10 s at most; when it did not appear, says so and returns 1.
wait_port() {
    local _within=10
    if [ "$1" = -t ]; then _within=$2; shift 2; fi
    poll_until "$_within" _port_listed "$@" && return 0
    echo "$prog: $1 did not appear" >&2
    return 1
}

# show_connections [PREFIX...]: each output port that has connections, as
# "  <port> -> <input>, <input>...", from jack_lsp run after PREFIX.
show_connections() {
    "$@" jack_lsp -c -p | awk '
        function flush() { if (is_output && conns != "") printf "  %-20s -> %s\n", port, conns }
        /^[^ \t]/ { flush(); port = $0; conns = ""; is_output = 0; next }
        /^\tproperties:/ { is_output = ($2 ~ /^output/); next }
        /^ +/ { sub(/^ +/, ""); conns = conns == "" ? $0 : conns ", " $0 }
        END { flush() }'
}

# jackd_overruns LOG: the overrun cycles in a stretch of jackd's log (its standard
# output and error together), as "LATE UNFINISHED CLIENT_LINES". Two kinds of line
# are overruns, one line per cycle each:
#   "JackTimedDriver::Process XRun = <n> usec"
#       the backend's cycle began <n> microseconds late (the dummy backend, and the
#       network backend, which keeps time as the dummy does);
#   "JackAudioDriver::ProcessGraphAsyncMaster: Process error"
#       the graph had not finished the previous cycle when this one began.
# A cycle that was both late and unfinished counts twice. CLIENT_LINES counts the
# lines "JackEngine::XRun: client = <name> was not finished, state = <state>" and
# "JackEngine::XRun: client <name> finished after current callback", which name the
# late clients of such a cycle, one line per client: they are no overruns themselves.
jackd_overruns() {
    awk '/^JackTimedDriver::Process XRun = / { late++ }
         /^JackAudioDriver::ProcessGraphAsyncMaster: Process error$/ { unfinished++ }
         /^JackEngine::XRun: client / { clients++ }
         END { print late + 0, unfinished + 0, clients + 0 }' "$1"
}

# ---- memwarden ----

# start_memwarden SHM_DIR LOG [PREFIX...]: SHM_DIR/memwarden in the background, run
# after PREFIX (its runtime directory through env, an emulator), without standard
# input, its output into LOG; its pid into memwarden_pid.
start_memwarden() {
    local _dir=$1 _log=$2
    shift 2
    "$@" "$_dir/memwarden" </dev/null >"$_log" 2>&1 &
    memwarden_pid=$!
}

# memwarden_published [-t SECONDS] SHM_DIR [PREFIX...]: until SHM_DIR/wardenpeek (run
# after PREFIX) reaches the service of memwarden_pid and lists its index, about
# SECONDS (default 10) of tries; returns 1 when it did not, or memwarden ended first.
memwarden_published() {
    local _within=10
    if [ "$1" = -t ]; then _within=$2; shift 2; fi
    poll_until "$_within" _memwarden_answers "$@"
}

_memwarden_answers() {
    local _dir=$1
    shift
    alive "$memwarden_pid" || return 2
    timeout 5 "$@" "$_dir/wardenpeek" index </dev/null 2>&1 | grep -q '^index \['
}

# ---- padplayer's keys ----

# open_keys DIR: padplayer's key FIFO DIR/keys, held open for reading and writing on
# descriptor $keys, so that opening it never waits for the other end and padplayer's
# input does not end while keys are typed. Give padplayer <DIR/keys {keys}>&- ; the
# other programs need not hold it: {keys}>&- .
open_keys() {
    keys_dir=$1
    mkfifo "$keys_dir/keys" "$keys_dir/tick"
    exec {keys}<>"$keys_dir/keys"
}

# keys_on_host HOSTS_DIR HOST KEY...: padplayer's keys on a private /sdcard of a host
# from scripts/net-hosts, a tmpfs in the host's mount namespace that goes with it (the
# machine keeps at most an empty mount point).
keys_on_host() {
    local _hosts=$1 _host=$2
    shift 2
    mkdir -p /sdcard
    "$root/scripts/net-hosts" run "$_hosts" "$_host" sh -c \
        'mount -t tmpfs -o mode=0755 keys /sdcard && mkdir /sdcard/Sounds && cp "$@" /sdcard/Sounds/' \
        sh "$@"
}

# type_keys [-n COUNT] [-u PID] [-l LOG]: a bar of kick (a), snare (s) and hi-hat (d)
# into padplayer's FIFO, a key every 0.3 s, over and over: COUNT keys at most, and
# while PID runs, where given; each key is also added to LOG. The pause is a read on
# a FIFO nobody writes: it starts no child, and a signal's trap runs at once.
type_keys() {
    local _count=-1 _until= _log= _k _tick _pattern=(a d s d a a s d)
    while [ $# -gt 0 ]; do
        case $1 in
            -n) _count=$2 ;;
            -u) _until=$2 ;;
            -l) _log=$2 ;;
        esac
        shift 2
    done
    exec {_tick}<>"$keys_dir/tick"
    for ((_k = 0; _count < 0 || _k < _count; _k++)); do
        [ -z "$_until" ] || alive "$_until" || break
        printf %s "${_pattern[_k % 8]}" >&"$keys"
        [ -z "$_log" ] || printf %s "${_pattern[_k % 8]}" >>"$_log"
        read -r -t 0.3 -u "$_tick" _ || true
    done
    exec {_tick}<&-
}
