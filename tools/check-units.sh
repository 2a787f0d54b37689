#!/usr/bin/env bash
# Checks the generated systemd units of one directory: the daemon's service must score at
# most MAX_EXPOSURE in `systemd-analyze security --offline=yes`, and `systemd-analyze
# verify` must have nothing to say about any of the units. Exit 77 (skipped) without
# systemd-analyze.
#
#   check-units.sh UNIT_DIR MAX_EXPOSURE
set -euo pipefail

units=${1:?unit directory}
maxExposure=${2:?maximal exposure}

if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "check-units: systemd-analyze not installed; skipped"
    exit 77
fi

failed=0
service="$units/tavelin-helper.service"

# "→ Overall exposure level for tavelin-helper.service: 1.7 OK"
report=$(systemd-analyze security --offline=yes --no-pager "$service" 2>&1) || true
exposure=$(printf '%s\n' "$report" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
if [ -z "$exposure" ]; then
    printf '%s\n' "$report"
    echo "check-units: no exposure level for $service"
    failed=1
elif ! awk -v e="$exposure" -v m="$maxExposure" 'BEGIN { exit !(e <= m) }'; then
    printf '%s\n' "$report" | grep -v '✓' || true
    echo "check-units: $service scores $exposure, more than $maxExposure"
    failed=1
else
    echo "check-units: $service scores $exposure (at most $maxExposure)"
fi

# Every removal and repair resolves its path with openat2 (RESOLVE_IN_ROOT |
# RESOLVE_NO_SYMLINKS), and there is no safe fallback: a setting under which systemd
# answers openat2 with ENOSYS would make every removal fail while the daemon runs on.
# RestrictSUIDSGID= is one (it cannot see a mode inside openat2's struct, so it refuses
# the call). The system call filter must allow openat2 and the calls the monitor and the
# front's start rely on.
if grep -Eq '^RestrictSUIDSGID=(yes|true|1|on)' "$service"; then
    echo "check-units: RestrictSUIDSGID= makes openat2 fail with ENOSYS in $service"
    failed=1
fi
expandFilter() {
    systemd-analyze syscall-filter --no-pager "$1" | sed -n '2,$p' | sed 's/^ *//' |
        grep -v -e '^#' -e '^$' | while read -r name; do
            case "$name" in
                @*) expandFilter "$name" ;;
                *) echo "$name" ;;
            esac
        done
}
filter=$(sed -n 's/^SystemCallFilter=//p' "$service")
allowed=$(for entry in $filter; do
    case "$entry" in
        @*) expandFilter "$entry" ;;
        *) echo "$entry" ;;
    esac
done | sort -u)
for call in openat2 statx unlinkat fchmodat pidfd_open pidfd_send_signal close_range \
    clone3 setresuid setresgid setgroups chroot seccomp prctl; do
    if ! grep -qx "$call" <<<"$allowed"; then
        echo "check-units: SystemCallFilter= of $service does not allow $call"
        failed=1
    fi
done

# verify loads the units it is given by path and the rest by name from the search path:
# giving all of them keeps the system's own units out of it. The template is checked as
# the instance the socket starts.
instance="$(mktemp -d)"
trap 'rm -rf "$instance"' EXIT
cp "$units/tavelin-update@.service" "$instance/tavelin-update@0.service"
verified=$(systemd-analyze verify --man=no \
    "$units/tavelin-helper.socket" "$service" "$units/tavelin-update.socket" \
    "$instance/tavelin-update@0.service" 2>&1) || {
    failed=1
}
if [ -n "$verified" ]; then
    printf '%s\n' "$verified"
    echo "check-units: systemd-analyze verify is not clean"
    failed=1
fi
exit "$failed"
