#!/usr/bin/env bash
# Runs the short demo against a build and checks that it ends with status 0, leaves
# none of its processes running, nothing new in /dev/shm, no mount on /sdcard and no
# runtime directory of memwarden's, that its recordings hold the loop, the distortion,
# the echo and the key samples and its summary a line per program with wardencheck's
# tests passed (tests/demo_test.py), that it says the recording's overruns beside those
# of the idle server over as long a stretch, and that the pictures include the overview.
#
#   demo_test.sh <build_dir> [<fxrender>]
#
# A cycle that the server overran can lose, repeat or tear blocks: demo_test.py judges
# the recordings only where the recorder's cycles.txt shows that no overrun reached
# them. A wrong sample there fails the test at once; a run that overruns left with too
# little untouched audio to judge (demo_test.py's status 2) is repeated, up to three
# runs in all.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build_dir=$1
fxrender=${2:-}
. "$root/scripts/lib/suite.sh"
delay_ms=$suite_delay_ms feedback=$suite_feedback  # what scripts/demo gives tapdelay

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL  $*"; failed=1; }

shm_files() { find /dev/shm -maxdepth 1 -name 'jack*' 2>/dev/null | sort; }

for attempt in 1 2 3; do
    out=$work/run$attempt
    failed=0
    shm_before=$(shm_files)
    sdcard_mounts=$(grep -c ' /sdcard ' /proc/self/mountinfo)
    timeout -s INT 80 "$root/scripts/demo" --short --no-build --build-dir "$build_dir" \
        --output-dir "$out" >"$work/demo$attempt.log" 2>&1
    status=$?
    [ "$status" = 0 ] || { cat "$work/demo$attempt.log"; fail "scripts/demo ended with status $status"; }

    # Every process the demo started is gone, and nothing still runs on its files.
    if [ -s "$out/logs/processes" ]; then
        while read -r name pid; do
            if kill -0 "$pid" 2>/dev/null; then fail "$name ($pid) still runs"; fi
        done <"$out/logs/processes"
        for name in jackd spinreel fuzzpedal tapdelay returnmix padplayer memwarden demo_recorder; do
            grep -q "^$name " "$out/logs/processes" || fail "the demo did not start $name"
        done
    else
        fail "the demo left no list of its processes"
    fi
    left=$(pgrep -a -f -- "$out" || true)
    [ -z "$left" ] || fail "processes left over: $left"
    new_shm=$(comm -13 <(echo "$shm_before") <(shm_files) | grep . || true)
    [ -z "$new_shm" ] || fail "left in /dev/shm: $new_shm"
    [ "$(grep -c ' /sdcard ' /proc/self/mountinfo)" = "$sdcard_mounts" ] || fail "a mount on /sdcard is left"
    binder_dir=$(sed -n 's/^memwarden .* in \(.*\)\/binder$/\1/p' "$work/demo$attempt.log")
    [ -n "$binder_dir" ] && [ ! -e "$binder_dir" ] || fail "memwarden's runtime directory '$binder_dir' is left"
    # memwarden has no handler: SIGTERM ends it, as it ends a daemon.
    grep -v "^memwarden [0-9]* exited with status 143$" "$out/logs/exit-statuses" 2>/dev/null |
        grep -q "exited with status [^0]" &&
        fail "a client did not end with status 0: $(cat "$out/logs/exit-statuses")"
    # The count of the recording beside the idle server's, each from its recorder's stats.
    xruns=$(awk '$1 == "xruns" { print $2 }' "$out/stats.txt" 2>/dev/null)
    idle=$(awk '$1 == "xruns" { print $2 }' "$out/stats-idle.txt" 2>/dev/null)
    said="  overruns: $xruns during the recording; $idle with the server idle for the same 3 s before the clients started"
    [[ $xruns =~ ^[0-9]+$ && $idle =~ ^[0-9]+$ ]] && grep -qxF -- "$said" "$work/demo$attempt.log" ||
        fail "the demo does not say \"$said\": $(grep overruns "$work/demo$attempt.log")"
    [ "$failed" = 0 ] || exit 1

    PYTHONPATH="$root/scripts" /usr/bin/python3 "$here/demo_test.py" "$out" "$delay_ms" "$feedback" ${fxrender:+"$fxrender"} |
        tee "$work/test$attempt.log"
    audio=${PIPESTATUS[0]}
    if [ "$audio" = 0 ]; then
        /usr/bin/python3 "$root/scripts/demo_report.py" "$out" "$out"/*-output?.wav >/dev/null &&
            [ "$(head -c 8 "$out/overview.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] ||
            { echo "FAIL  the pictures have no overview.png"; exit 1; }
        echo "ok    the pictures include overview.png"
    fi
    left_out=$(sed -n 's/^note  overruns reached \([0-9]* of [0-9]*\) recorded cycles.*/\1/p' \
        "$work/test$attempt.log")
    echo "run $attempt: $xruns overruns during the recording, $idle with the server idle;" \
        "${left_out:-? of ?} recorded cycles left out"
    [ "$audio" = 2 ] || exit "$audio"
done
echo "FAIL  overruns left too little untouched audio to judge in all three runs"
exit 1
