#!/bin/sh
# system-update-world.sh TOOL SCRATCH SCENARIO ARG...
#
# Runs TOOL (tavelin-system-update) with ARG... on a throwaway copy of this machine: an
# overlay over / whose changes land in SCRATCH/upper, no network, apt's sources naming
# only a local repository of test packages. Started through unshare (a mount and a network
# namespace of its own), so neither the overlay nor anything apt does reaches the host's
# packages. Writes the installed version of the test package to SCRATCH/version after the
# run and ends with TOOL's status.
#
# The installed package is tavelin-update-probe 1; the repository, by SCENARIO:
#   upgradable     version 2
#   current        version 1 only
#   reboot         version 2, whose installation asks for a restart (/run/reboot-required)
#   broken         version 2 behind an index that gives the wrong size and checksum
#   lock-released  version 2, while another dpkg run holds the lock for 3 seconds
#   lock-held      version 2, while another dpkg run holds the lock past apt's limit
set -eu
tool=$1 scratch=$2 scenario=$3
shift 3

. "$(dirname "$0")/../../../tests/support/local-apt-repository.sh"
packages=$scratch/packages
make_test_package "$packages" tavelin-update-probe 1
make_test_package "$packages" tavelin-update-probe 2
make_test_package "$packages" tavelin-update-probe 2 postinst "touch /run/reboot-required"
make_test_package "$packages" tavelin-lock-holder 1 preinst \
    "touch /run/holding; sleep \$(cat /run/hold-seconds)"
case $scenario in
    current) make_repository "$scratch/repository" "$packages/tavelin-update-probe-1.deb" ;;
    reboot) make_repository "$scratch/repository" "$packages/tavelin-update-probe-2-postinst.deb" ;;
    *) make_repository "$scratch/repository" "$packages/tavelin-update-probe-2.deb" ;;
esac
if [ "$scenario" = broken ]; then
    sed -i -e 's/^Size: .*/Size: 999/' -e 's/^SHA256: .*/SHA256: 0000/' "$scratch/repository/Packages"
fi

mkdir -p "$scratch/upper" "$scratch/work" "$scratch/root"
root=$scratch/root
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$root"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
for folder in run tmp; do
    mount -t tmpfs tmpfs "$root/$folder"
done
chmod 1777 "$root/tmp"
mkdir -p "$root/repository" "$root/packages"
mount --bind "$scratch/repository" "$root/repository"
mount --bind "$packages" "$root/packages"

use_only_repository "$root" /repository
case $scenario in
    lock-released) echo 'DPkg::Lock::Timeout "60";' ;;
    lock-held) echo 'DPkg::Lock::Timeout "2";' ;;
    *) echo '' ;;
esac >"$root/etc/apt/apt.conf.d/99tavelin-test"
chroot "$root" dpkg -i /packages/tavelin-update-probe-1.deb >/dev/null

holder=
case $scenario in
    lock-released | lock-held)
        if [ "$scenario" = lock-released ]; then echo 3; else echo 60; fi >"$root/run/hold-seconds"
        # A process group of its own, so that the whole run, its script included, can go.
        setsid chroot "$root" dpkg -i /packages/tavelin-lock-holder-1-preinst.deb >/dev/null 2>&1 &
        holder=$!
        while [ ! -e "$root/run/holding" ]; do sleep 0.1; done
        ;;
esac

cp "$tool" "$root/tmp/tavelin-system-update"
status=0
chroot "$root" /bin/sh /tmp/tavelin-system-update "$@" || status=$?
if [ -n "$holder" ]; then
    kill -- "-$holder" 2>/dev/null || true
    wait "$holder" 2>/dev/null || true
fi
cat "$root/opt/tavelin-update-probe/version" >"$scratch/version" 2>/dev/null || true
exit "$status"
