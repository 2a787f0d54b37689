#!/usr/bin/env bash
# Installs the daemon and tools packages with dpkg, as an administrator would, into a
# copy-on-write view of this machine, and uses them there:
#   1. an overlay over / whose changes land in a tmpfs; dpkg -i in a chroot into it
#   2. nothing of the reference layout's folders (/Library, /System, /private) appears
#   3. the maintainer scripts keep an administrator's disable and mask, and an upgrade
#      restarts the daemon (with a stand-in deb-systemd-invoke: no systemd runs here)
#   4. the example application built there against the installed development package,
#      through find_package (signed by tavelin_sign_executable) and through pkg-config
#   5. the installed daemon, socket-activated under its own name (in this network
#      namespace's private abstract names), has the signed example builds clear folders
#      below /var/cache and read back a partial removal's counts, refuses an unsigned
#      build, and for the installed tavelinctl clears a folder below /var/cache and
#      refuses /var/cache itself, /var/lib/dpkg/status and a path below /var/cache/debconf
#   6. with apt pointed at a local repository only (and no network), the installed
#      tavelinctl's update has the installed runner upgrade a test package through
#      tavelin-system-update, and answers the verdict
#   7. dpkg --purge leaves no folder that the machine does not have, and nothing of ours in
#      /run (the runner's socket, the front's empty root)
# Runs as the first process of its own PID, mount and network namespaces (check-packages.sh
# starts it with unshare), so the overlay, everything written into it and every process
# started in it go when it ends.
#   tests/packaging/check-installed.sh BUILD_DIR IDENTITY_DIR EXAMPLES_DIR WORK_DIR
set -euo pipefail
build="$1"
identity="$2"
examples="$3"
work="$4"

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
cp "$build"/tavelin-helper_*.deb "$build"/tavelin-tools_*.deb "$build"/libtavelin-client0_*.deb \
    "$build"/libtavelin-client-dev_*.deb "$root/packages/"
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

# The example, as an application developer builds it against the installed packages.
mkdir "$root/example" "$root/identity"
cp -r "$examples/remove-paths" "$root/example/source"
cp "$identity/leaf.pem" "$identity/leaf-key.pem" "$root/identity/"
in_root cmake -S /example/source -B /example/cmake -G Ninja \
    -DTAVELIN_SIGNING_KEY=/identity/leaf-key.pem -DTAVELIN_SIGNING_CERTIFICATE=/identity/leaf.pem \
    >"$work/example.log" 2>&1 || { cat "$work/example.log"; fail "configuring the example"; }
in_root cmake --build /example/cmake >>"$work/example.log" 2>&1 ||
    { cat "$work/example.log"; fail "building the example through find_package"; }
in_root tavelin-codesign verify --anchor /usr/share/tavelin/anchor.pem \
    /example/cmake/remove-paths >/dev/null || fail "tavelin_sign_executable did not sign the example"
in_root sh -c 'g++ -std=c++20 -o /example/pkgconfig /example/source/main.cc \
    $(pkg-config --cflags --libs tavelin-client)' >>"$work/example.log" 2>&1 ||
    { cat "$work/example.log"; fail "building the example through pkg-config"; }
cp "$root/example/pkgconfig" "$root/example/unsigned"
in_root tavelin-codesign sign --key /identity/leaf-key.pem --cert /identity/leaf.pem \
    --identifier de.morvane.Tavelin /example/pkgconfig >/dev/null || fail "signing the example"
# Admitted only as root's own files, as an administrator installs them.
install -m 0755 "$root/example/cmake/remove-paths" "$root/usr/local/bin/remove-paths-cmake"
install -m 0755 "$root/example/pkgconfig" "$root/usr/local/bin/remove-paths-pkgconfig"
install -m 0755 "$root/example/unsigned" "$root/usr/local/bin/remove-paths-unsigned"
rm -r "$root/example" "$root/identity"

in_root systemd-socket-activate --listen=@de.morvane.Tavelin.helper /usr/sbin/tavelin-helper \
    >"$work/daemon.log" 2>&1 &
daemon=$!
stop_daemon() { kill "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true; }
trap stop_daemon EXIT
for _ in $(seq 100); do
    grep -q "gestartet" "$work/daemon.log" 2>/dev/null && break
    sleep 0.1
done

version=$(in_root dpkg-query -W -f='${Version}' tavelin-helper)
said=$(in_root tavelinctl version) || { cat "$work/daemon.log"; fail "tavelinctl version: $said"; }
[ "$said-1" = "$version" ] || fail "the daemon says version \"$said\", not ${version%-1}"

mkdir -p "$root/var/cache/tavelin-example-one" "$root/var/cache/tavelin-example-two"
head -c 5000 /dev/zero >"$root/var/cache/tavelin-example-one/blob"
said=$(in_root remove-paths-cmake /var/cache/tavelin-example-one) ||
    { cat "$work/daemon.log"; fail "the example (find_package) was not served: $said"; }
grep -qE "^removed 1, refused 0, failed 0; [1-9][0-9]* bytes freed$" <<<"$said" ||
    fail "the example (find_package) said: $said"
status=0
said=$(in_root remove-paths-pkgconfig /var/cache/tavelin-example-two /var/cache) || status=$?
[ "$status" -eq 1 ] && grep -qE "^removed 1, refused 1, failed 0; [0-9]+ bytes freed$" <<<"$said" ||
    fail "the example (pkg-config), given a path it may not remove (status $status): $said"
[ ! -e "$root/var/cache/tavelin-example-one" ] && [ ! -e "$root/var/cache/tavelin-example-two" ] ||
    fail "the example's folders below /var/cache are still there"
status=0
in_root remove-paths-unsigned /var/cache/tavelin-example-one 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "an unsigned application was not refused (status $status)"
grep -q "Verbindung ABGELEHNT" "$work/daemon.log" || fail "no refusal line for the unsigned app"

mkdir -p "$root/var/cache/tavelin-package-test/inner"
head -c 40000 /dev/zero >"$root/var/cache/tavelin-package-test/inner/blob"
said=$(in_root tavelinctl remove /var/cache/tavelin-package-test) ||
    { cat "$work/daemon.log"; fail "removal below /var/cache: $said"; }
[[ "$said" == "1 Pfade entfernt ("* ]] || fail "removal below /var/cache said: $said"
[ ! -e "$root/var/cache/tavelin-package-test" ] || fail "the folder below /var/cache is still there"
[ -d /var/cache/debconf ] || fail "this machine has no debconf"
touch "$root/var/cache/debconf/tavelin-package-test"
for refused in /var/cache /var/lib/dpkg/status /var/cache/debconf/tavelin-package-test; do
    status=0
    said=$(in_root tavelinctl remove "$refused" 2>&1) || status=$?
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
said=$(in_root tavelinctl update 2>&1) || { cat "$work/runner.log"; fail "update: $said"; }
[ "$said" = "Systemupdates installiert." ] || fail "update said: $said"
[ "$(cat "$root/opt/tavelin-update-probe/version")" = 2 ] || fail "the update installed nothing"
kill "$runner" 2>/dev/null || true
wait "$runner" 2>/dev/null || true
in_root dpkg --purge tavelin-update-probe >/dev/null
umount "$root/repository"
rmdir "$root/repository"
stop_daemon

rm "$root"/usr/local/bin/remove-paths-* "$root"/packages/*.deb
rmdir "$root/packages"
in_root dpkg --purge libtavelin-client-dev libtavelin-client0 tavelin-tools tavelin-helper \
    >"$work/purge.log" 2>&1 ||
    { cat "$work/purge.log"; fail "dpkg --purge"; }
[ ! -e "$root/run/tavelin-helper" ] || fail "purging left /run/tavelin-helper: $(ls -A "$root/run/tavelin-helper")"
# The overlay keeps in `changes` every folder that was made or changed: each must be one
# this machine has already.
left=$(cd "$work/changes" && find . -mindepth 1 -type d | while read -r folder; do
    [ -d "/$folder" ] || echo "${folder#.}"
done)
[ -z "$left" ] || fail "purging left folders behind: $left"
echo "installed, served and purged; no folder left behind"
