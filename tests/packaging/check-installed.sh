#!/usr/bin/env bash
# Installs the daemon and tools packages with dpkg, as an administrator would, into a
# copy-on-write view of this machine, and uses them there:
#   1. an overlay over / whose changes land in a tmpfs; dpkg -i in a chroot into it
#   2. nothing of the reference layout's folders (/Library, /System, /private) appears
#   3. the maintainer scripts keep an administrator's disable and mask, and an upgrade
#      restarts the daemon (with a stand-in deb-systemd-invoke: no systemd runs here)
#   4. the installed daemon, socket-activated on a private name, serves the signed
#      applications, refuses an unsigned one, and for the installed tavelinctl clears a
#      folder below /var/cache and refuses /var/cache itself, /var/lib/dpkg/status and a
#      path below /var/cache/debconf
#   5. with apt pointed at a local repository only (and no network), the installed
#      tavelinctl's update has the installed runner upgrade a test package through
#      tavelin-system-update, and answers the verdict
#   6. dpkg --purge leaves no folder that the machine does not have, and nothing of ours in
#      /run (the runner's socket, the front's empty root)
# Runs as the first process of its own PID, mount and network namespaces (check-packages.sh
# starts it with unshare), so the overlay, everything written into it and every process
# started in it go when it ends.
#   tests/packaging/check-installed.sh BUILD_DIR APPS_DIR WORK_DIR
set -euo pipefail
build="$1"
apps="$2"
work="$3"

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

mkdir -p "$work"
mount -t tmpfs tmpfs "$work"
mkdir "$work/changes" "$work/overlay-work" "$work/root"
mount -t overlay overlay \
    -o "lowerdir=/,upperdir=$work/changes,workdir=$work/overlay-work" "$work/root"
root="$work/root"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/run"  # no service manager, no system bus: as in a container
in_root() { chroot "$root" "$@"; }

mkdir "$root/packages"
cp "$build"/tavelin-helper_*.deb "$build"/tavelin-tools_*.deb "$root/packages/"
in_root sh -c 'dpkg -i /packages/*.deb' >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "dpkg -i"; }
for folder in Library System private; do
    [ ! -e "$work/changes/$folder" ] || fail "installing made /$folder"
done

# The maintainer scripts as an administrator meets them. No systemd is PID 1 here, so
# enabling and masking are checked on the files systemd reads, and what would be
# restarted through a stand-in deb-systemd-invoke that notes its arguments.
reinstall() {
    in_root env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        sh -c 'dpkg -i /packages/tavelin-helper_*.deb' >>"$work/install.log" 2>&1
}
socket_link="$root/etc/systemd/system/sockets.target.wants/tavelin-helper.socket"
[ -L "$socket_link" ] || fail "installing did not enable tavelin-helper.socket"
in_root systemctl disable tavelin-helper.socket >/dev/null 2>&1
reinstall || { cat "$work/install.log"; fail "reinstalling"; }
[ ! -e "$socket_link" ] || fail "reinstalling enabled a socket the administrator disabled"
in_root systemctl mask tavelin-helper.socket >/dev/null 2>&1
reinstall || { cat "$work/install.log"; fail "reinstalling over a masked socket"; }
[ "$(readlink "$root/etc/systemd/system/tavelin-helper.socket")" = /dev/null ] ||
    fail "reinstalling took the administrator's mask off"
in_root systemctl unmask tavelin-helper.socket >/dev/null 2>&1
in_root systemctl enable tavelin-helper.socket >/dev/null 2>&1
mkdir -p "$root/run/systemd/system"
for tool in deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>/run/invoked\n' "$tool" >"$root/usr/local/sbin/$tool"
    chmod 0755 "$root/usr/local/sbin/$tool"
done
reinstall || { cat "$work/install.log"; fail "upgrading"; }
grep -qx "deb-systemd-invoke try-restart tavelin-helper.service" "$root/run/invoked" ||
    fail "an upgrade does not restart the daemon: $(cat "$root/run/invoked")"
rm -r "$root/run/systemd" "$root/run/invoked" "$root/usr/local/sbin/deb-systemd-invoke" \
    "$root/usr/local/sbin/systemctl"

install -m 0755 "$apps"/version-app-cmake "$apps"/version-app-pkgconfig \
    "$apps"/version-app-unsigned "$root/usr/local/bin/"
service="de.morvane.Tavelin.installed-test.$$"
in_root systemd-socket-activate --listen="@$service" /usr/sbin/tavelin-helper \
    >"$work/daemon.log" 2>&1 &
daemon=$!
stop_daemon() { kill "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true; }
trap stop_daemon EXIT
for _ in $(seq 100); do
    grep -q "gestartet" "$work/daemon.log" 2>/dev/null && break
    sleep 0.1
done
client() { in_root env TAVELIN_SERVICE_NAME="$service" "$@"; }

version=$(in_root dpkg-query -W -f='${Version}' tavelin-helper)
for app in version-app-cmake version-app-pkgconfig; do
    answer=$(in_root "/usr/local/bin/$app" "$service") ||
        { cat "$work/daemon.log"; fail "$app was not served"; }
    [ "$answer-1" = "$version" ] || fail "$app got \"$answer\", not ${version%-1}"
done
status=0
in_root /usr/local/bin/version-app-unsigned "$service" 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "an unsigned application was not refused (status $status)"
grep -q "Verbindung ABGELEHNT" "$work/daemon.log" || fail "no refusal line for the unsigned app"

mkdir -p "$root/var/cache/tavelin-package-test/inner"
head -c 40000 /dev/zero >"$root/var/cache/tavelin-package-test/inner/blob"
said=$(client tavelinctl remove /var/cache/tavelin-package-test) ||
    { cat "$work/daemon.log"; fail "removal below /var/cache: $said"; }
[[ "$said" == "1 Pfade entfernt ("* ]] || fail "removal below /var/cache said: $said"
[ ! -e "$root/var/cache/tavelin-package-test" ] || fail "the folder below /var/cache is still there"
[ -d /var/cache/debconf ] || fail "this machine has no debconf"
touch "$root/var/cache/debconf/tavelin-package-test"
for refused in /var/cache /var/lib/dpkg/status /var/cache/debconf/tavelin-package-test; do
    status=0
    said=$(client tavelinctl remove "$refused" 2>&1) || status=$?
    [ "$status" -eq 1 ] && [[ "$said" == "0 Pfade entfernt, 1 durch Policy abgelehnt"* ]] ||
        fail "removing $refused (status $status): $said"
    [ -e "$root$refused" ] || fail "$refused is gone"
done
rm "$root/var/cache/debconf/tavelin-package-test"

# The update: the runner's socket unit played by systemd-socket-activate, a test package
# installed at version 1 and version 2 waiting in the only repository apt knows.
. "$(dirname "$0")/../support/local-apt-repository.sh"
make_test_package "$work/packages" tavelin-update-probe 1
make_test_package "$work/packages" tavelin-update-probe 2
make_repository "$work/repository" "$work/packages/tavelin-update-probe-2.deb"
mkdir "$root/repository"
mount --bind "$work/repository" "$root/repository"
use_only_repository "$root" /repository
cp "$work/packages/tavelin-update-probe-1.deb" "$root/tmp/"
in_root dpkg -i /tmp/tavelin-update-probe-1.deb >/dev/null
rm "$root/tmp/tavelin-update-probe-1.deb"
mkdir -p "$root/run/tavelin-helper"
in_root systemd-socket-activate --seqpacket --accept \
    --listen=/run/tavelin-helper/update.socket /usr/libexec/tavelin/tavelin-update-runner \
    >"$work/runner.log" 2>&1 &
runner=$!
for _ in $(seq 100); do
    [ -S "$root/run/tavelin-helper/update.socket" ] && break
    sleep 0.1
done
said=$(client tavelinctl update 2>&1) || { cat "$work/runner.log"; fail "update: $said"; }
[ "$said" = "Systemupdates installiert." ] || fail "update said: $said"
[ "$(cat "$root/opt/tavelin-update-probe/version")" = 2 ] || fail "the update installed nothing"
kill "$runner" 2>/dev/null || true
wait "$runner" 2>/dev/null || true
in_root dpkg --purge tavelin-update-probe >/dev/null
umount "$root/repository"
rmdir "$root/repository"
stop_daemon

rm "$root"/usr/local/bin/version-app-* "$root"/packages/*.deb
rmdir "$root/packages"
in_root dpkg --purge tavelin-tools tavelin-helper >"$work/purge.log" 2>&1 ||
    { cat "$work/purge.log"; fail "dpkg --purge"; }
[ ! -e "$root/run/tavelin-helper" ] || fail "purging left /run/tavelin-helper: $(ls -A "$root/run/tavelin-helper")"
# The overlay keeps in `changes` every folder that was made or changed: each must be one
# this machine has already.
left=$(cd "$work/changes" && find . -mindepth 1 -type d | while read -r folder; do
    [ -d "/$folder" ] || echo "${folder#.}"
done)
[ -z "$left" ] || fail "purging left folders behind: $left"
echo "installed, served and purged; no folder left behind"
