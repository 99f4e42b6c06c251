#!/usr/bin/env bash
# Runs scripts/demo --net --short against a build: it must end with status 0 (its
# report judges the recordings: the round trip, the loop, the echo, the keys, and
# fuzzpedal against fxrender bit for bit), say a line per program of the chain, the
# round trip and "bit-exact", set linkwatch's late and lost cycles beside the
# recordings' and find that they agree, and leave nothing behind: no process on its files, no
# JACK file in /dev/shm, no mount on /sdcard, no veth of its hosts. A run that
# overruns left with too little to judge (the report's status 2) is repeated, up to
# three runs in all.
#
#   demo_net_test.sh <build_dir>
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL  $*"; failed=1; }

for attempt in 1 2 3; do
    failed=0
    shm_before=$(ls /dev/shm)
    sdcard_mounts=$(grep -c ' /sdcard ' /proc/self/mountinfo)
    timeout -s INT 120 "$root/scripts/demo" --net --short --no-build --build-dir "$1" \
        --output-dir "$work/run$attempt" >"$work/demo$attempt.log" 2>&1
    status=$?
    summary=$work/run$attempt/net/summary.txt
    [ "$status" = 2 ] && { echo "run $attempt: too little to judge; again"; continue; }
    [ "$status" = 0 ] || { cat "$work/demo$attempt.log"; fail "scripts/demo --net ended with status $status"; }
    for name in spinreel fuzzpedal tapdelay returnmix padplayer passthru network overruns linkwatch; do
        grep -q "^$name " "$summary" || fail "no line for $name in the summary"
    done
    grep -q "^network  *256 frames .* round trip" "$summary" || fail "the round trip is not 256 frames"
    grep -q "^fxrender .*: bit-exact$" "$summary" || fail "fuzzpedal is not said to be bit-exact"
    grep -q "^linkwatch .* whole seconds in the recording: .*; they agree$" "$summary" ||
        fail "linkwatch and the recordings are not said to agree"
    left=$(pgrep -a -f -- "$work/run$attempt" || true)
    [ -z "$left" ] || fail "processes left over: $left"
    [ "$(ls /dev/shm)" = "$shm_before" ] || fail "left in /dev/shm: $(ls /dev/shm)"
    [ "$(grep -c ' /sdcard ' /proc/self/mountinfo)" = "$sdcard_mounts" ] || fail "a mount on /sdcard is left"
    ip -br link | grep -q "nh-" && fail "a veth of the demo's hosts is left"
    [ "$failed" = 0 ] && echo "ok  scripts/demo --net (run $attempt)"
    exit "$failed"
done
fail "three runs left too little to judge"
exit 1
