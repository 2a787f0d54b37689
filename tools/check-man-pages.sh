#!/usr/bin/env bash
# Fails unless every page renders as man(1) shows it to a reader without a single
# message from the formatter, and has the sections a reader looks for: NAME and
# DESCRIPTION, and for commands (sections 1 and 8) SYNOPSIS and EXIT STATUS too.
#   tools/check-man-pages.sh PAGE...     (roff, or roff compressed as man reads it)
set -euo pipefail

# One locale and width, so that every machine renders the same text. groff's warning
# set "w" is every warning; "all" would leave out undefined macros and strings. Pages
# are rendered to a pipe, where man keeps the formatter's messages, and
# MAN_KEEP_STDERR keeps them should that ever change.
export LC_ALL=C.UTF-8 MANWIDTH=80 MAN_KEEP_STDERR=1

if [ $# -eq 0 ]; then
    echo "usage: $0 PAGE..." >&2
    exit 64
fi

messages="$(mktemp)"
trap 'rm -f "$messages"' EXIT

failed=0
fail() {
    echo "$1" >&2
    failed=1
}

for page in "$@"; do
    name="$(basename "$page")"
    if [ ! -s "$page" ]; then
        fail "$name: missing or empty"
        continue
    fi
    if ! rendered="$(man --warnings=w -l "$page" 2>"$messages")"; then
        fail "$name: man failed"
    fi
    while IFS= read -r line; do
        fail "$name: $line"
    done <"$messages"

    required=(NAME DESCRIPTION)
    case "${name%.gz}" in
        *.1 | *.8) required+=(SYNOPSIS "EXIT STATUS") ;;
    esac
    for section in "${required[@]}"; do
        # Headings are the only lines that start in the first column.
        if ! grep -qx -- "$section" <<<"$rendered"; then
            fail "$name: no section $section"
        fi
    done
done
exit "$failed"
