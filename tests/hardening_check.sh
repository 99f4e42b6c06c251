#!/usr/bin/env bash
# Checks that each built program or plug-in carries the hardening that the build asks
# for: position-independent, relocations read-only and bound at start-up (full RELRO),
# stack protector, and (with --fortified) no unfortified printf-family calls.
#   hardening_check.sh [--fortified] <elf files...>
set -uo pipefail

fortified=0
if [ "${1:-}" = "--fortified" ]; then
    fortified=1
    shift
fi

failures=0
fail() {
    echo "FAIL $1: $2"
    failures=$((failures + 1))
}

for file in "$@"; do
    name=$(basename "$file")
    [ -f "$file" ] || { fail "$name" "missing"; continue; }
    header=$(readelf -h "$file")
    segments=$(readelf -lW "$file")
    dynamic=$(readelf -dW "$file")
    symbols=$(readelf -sW --dyn-syms "$file" | awk '$7 == "UND" {print $8}' | sed 's/@.*//')

    grep -q 'Type: *DYN' <<<"$header" || fail "$name" "not position-independent"
    grep -q 'GNU_RELRO' <<<"$segments" || fail "$name" "no RELRO segment"
    grep -Eq 'BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || fail "$name" "relocations not bound at start-up"
    # -fstack-protector-strong guards only functions with arrays or addressed locals;
    # the programs have many, the small plug-in has none, so only programs must show it.
    if grep -q 'Type: *DYN (Position-Independent Executable' <<<"$header" ||
       [ -n "$(readelf -lW "$file" | grep INTERP)" ]; then
        grep -qx '__stack_chk_fail' <<<"$symbols" || fail "$name" "no stack protector"
    fi
    if [ "$fortified" = 1 ]; then
        plain=$(grep -Ex '(f|s|sn|v|vf|vs|vsn)?printf' <<<"$symbols" | tr '\n' ' ')
        [ -z "$plain" ] || fail "$name" "unfortified calls: $plain"
    fi
    echo "checked $name"
done

[ "$failures" = 0 ]
