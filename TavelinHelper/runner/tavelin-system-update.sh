#!/bin/sh
# tavelin-system-update --install --all --agree-to-license
#
# Installs every available upgrade of this host's packages without asking anything: with
# apt on Debian and Ubuntu, with dnf on Fedora and its relatives. The update runner starts
# it with exactly these arguments, a fixed PATH and LANG=C, standard input /dev/null.
#
# What it prints is what the daemon's verdict reads:
#   - "No updates are available." when there was nothing to upgrade (exit 0);
#   - after an upgrade, the package manager's summary, and a line that a restart is
#     required when the host needs one;
#   - on failure, the package manager's whole output, and its exit status as ours, so the
#     verdict shows its last lines.
# The package manager's output of a run that went well is not passed on: it speaks of
# services being "restarted", which the verdict would take for a restart the host needs.
# apt and dnf keep their own logs (/var/log/apt, /var/log/dnf*.log).
set -u

# How long apt waits for another package run (unattended-upgrades, an administrator's
# apt) to release dpkg's lock, unless apt's own configuration says otherwise.
lock_timeout_default=600

if [ "$*" != "--install --all --agree-to-license" ]; then
    echo "usage: tavelin-system-update --install --all --agree-to-license" >&2
    exit 64
fi

output=$(mktemp) || exit 70
trap 'rm -f "$output"' EXIT

# Runs a package manager command with its output kept; on failure prints all of it and
# ends with its status.
run() {
    "$@" >"$output" 2>&1
    status=$?
    if [ "$status" -ne 0 ]; then
        cat "$output"
        exit "$status"
    fi
}

upgrade_with_apt() {
    export DEBIAN_FRONTEND=noninteractive
    set -- -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold
    if [ -z "$(apt-config shell configured DPkg::Lock::Timeout)" ]; then
        set -- "$@" -o DPkg::Lock::Timeout="$lock_timeout_default"
    fi
    run apt-get "$@" update
    run apt-get "$@" --simulate upgrade --with-new-pkgs
    if ! grep -q '^Inst ' "$output"; then
        echo "No updates are available."
        return
    fi
    run apt-get "$@" --assume-yes upgrade --with-new-pkgs
    grep -E '^[0-9]+ upgraded, ' "$output"
    if [ -e /run/reboot-required ]; then
        echo "A restart is required to finish installing the updates."
    fi
}

upgrade_with_dnf() {
    dnf --assumeyes check-update --refresh >"$output" 2>&1
    status=$?
    case "$status" in
        0)
            echo "No updates are available."
            return
            ;;
        100) ;;  # updates are available
        *)
            cat "$output"
            exit "$status"
            ;;
    esac
    run dnf --assumeyes upgrade
    tail -n 1 "$output"
    # Exit status 1: a restart is needed (the kernel, the C library or systemd changed).
    dnf needs-restarting --reboothint >/dev/null 2>&1
    if [ $? -eq 1 ]; then
        echo "A restart is required to finish installing the updates."
    fi
}

if command -v apt-get >/dev/null 2>&1; then
    upgrade_with_apt
elif command -v dnf >/dev/null 2>&1; then
    upgrade_with_dnf
else
    echo "tavelin-system-update: neither apt-get nor dnf found; this host's package manager is not supported"
    exit 69
fi
exit 0
