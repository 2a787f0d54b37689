#!/usr/bin/env bash
# Fails unless every executable (or shared library) given carries the hardening cmake/CompilerOptions.cmake
# asks for, as the loader and the linker left it in the file: bound at start (BIND_NOW)
# with a read-only GOT (GNU_RELRO), position-independent (PIE; a library, one with a
# SONAME, is by nature), a non-executable stack,
# the stack protector (__stack_chk_fail) and fortified libc calls (__*_chk). Names each
# binary and what it lacks.
#   tools/check-hardening.sh [--without-fortify] [--nothing-to-fortify NAME]... EXECUTABLE...
# --without-fortify: a sanitizer or fuzzer build, which leaves _FORTIFY_SOURCE out.
# --nothing-to-fortify NAME: the executable of that file name has no call whose bound the
#   compiler knows and cannot prove safe, so fortifying it leaves no __*_chk to find. It
#   fails once it has one, so that the exception does not outlive its reason.
set -euo pipefail
export LC_ALL=C

usage() {
    echo "usage: $0 [--without-fortify] [--nothing-to-fortify NAME]... EXECUTABLE..." >&2
    exit 64
}
fortify=1
nothing_to_fortify=" "
while [ $# -gt 0 ]; do
    case "$1" in
        --without-fortify) fortify=0; shift ;;
        --nothing-to-fortify) nothing_to_fortify+="${2:?} "; shift 2 ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || usage

failed=0
lacks() {
    echo "$1: $2" >&2
    failed=1
}

check() {
    local binary="$1" header dynamic segments symbols
    if ! header="$(readelf -h -W "$binary" 2>&1)"; then
        lacks "$binary" "not an ELF file ($header)"
        return
    fi
    dynamic="$(readelf -d -W "$binary")"
    segments="$(readelf -l -W "$binary")"
    symbols="$(nm -D "$binary" 2>/dev/null || true)"

    if grep -Eq '\(SONAME\)' <<<"$dynamic"; then
        grep -Eq '^ *Type: +DYN' <<<"$header" || lacks "$binary" "a library that is not DYN"
    else
        { grep -Eq '^ *Type: +DYN' <<<"$header" && grep -Eq '\(FLAGS_1\).* PIE' <<<"$dynamic"; } ||
            lacks "$binary" "not a position-independent executable (PIE)"
    fi
    grep -Eq '\(BIND_NOW\)|\(FLAGS\).* BIND_NOW|\(FLAGS_1\).* NOW' <<<"$dynamic" ||
        lacks "$binary" "no BIND_NOW: the GOT stays writable (link with -z now)"
    grep -Eq '^ *GNU_RELRO ' <<<"$segments" ||
        lacks "$binary" "no GNU_RELRO segment (link with -z relro)"
    # No GNU_STACK at all makes the loader give it an executable stack too.
    grep -Eq '^ *GNU_STACK( +[^ ]+){5} +RW +' <<<"$segments" ||
        lacks "$binary" "executable stack (GNU_STACK missing or not RW)"
    grep -Eq ' U __stack_chk_fail(@|$)' <<<"$symbols" ||
        lacks "$binary" "no stack protector (__stack_chk_fail not imported)"
    if [ "$fortify" -eq 0 ]; then
        return
    fi
    local fortified=0
    grep -Eq ' U __[a-z0-9_]+_chk(@|$)' <<<"${symbols//__stack_chk_fail/}" && fortified=1
    if [[ "$nothing_to_fortify" == *" $(basename "$binary") "* ]]; then
        [ "$fortified" -eq 0 ] ||
            lacks "$binary" "has fortified calls now: drop it from --nothing-to-fortify"
    elif [ "$fortified" -eq 0 ]; then
        lacks "$binary" "no fortified libc call (__*_chk not imported: _FORTIFY_SOURCE)"
    fi
}

for binary in "$@"; do
    check "$binary"
done
exit "$failed"
