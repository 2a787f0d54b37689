#!/usr/bin/env bash
# Builds the Debian packages as tools/package.sh does and uses them as an administrator
# and an application developer would:
#   1. a test identity (anchor, leaf) and tools/package.sh with it: a release build with
#      the linux path layout that trusts that anchor and signs its client with that leaf
#   2. every package unpacked into a scratch root, checked for what it must hold (and for
#      what it must not: folders of the reference layout)
#   3. the unpacked tavelinctl's signature verified against the anchor by the unpacked
#      tavelin-codesign (stripping after signing would fail here)
#   4. the polkit defaults: an active local session may, everyone else needs an
#      administrator
#   5. the packages installed with dpkg into a copy-on-write view of this machine, the
#      example application built there against them (find_package, pkg-config) and served
#      by their daemon with the other clients (removals, refusals, an update from a local
#      repository), and the packages purged again (check-installed.sh); the machine
#      itself is never changed
#   tests/packaging/check-packages.sh SOURCE_DIR WORK_DIR CODESIGN_TOOL
set -euo pipefail
source_dir="$1"
work="$2"
build_codesign="$3"

step() { printf '\n== %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
identity="$work/identity"
build="$work/build"
root="$work/root"

step "test identity and release build"
"$build_codesign" create-identity --out "$identity" --ou QH4T7R2KZ5 >/dev/null
"$source_dir/tools/package.sh" --identity "$identity" --build-dir "$build" >"$work/build.log" 2>&1 ||
    { tail -50 "$work/build.log"; fail "tools/package.sh"; }
grep -q "Release build: only root is trusted" "$work/build.log" ||
    fail "a build given a trust anchor is still a development build"

step "unpack"
mkdir -p "$root"
for package in tavelin-helper tavelin-tools libtavelin-client0 libtavelin-client-dev \
    tavelin-helper-dbgsym tavelin-tools-dbgsym libtavelin-client0-dbgsym; do
    deb=$(ls "$build"/${package}_*.deb 2>/dev/null | head -1)
    [ -n "$deb" ] || fail "no package $package"
    dpkg-deb -x "$deb" "$root"
    [ -e "$root/usr/share/doc/$package/copyright" ] || [ -e "$root/usr/share/doc/$package" ] ||
        fail "$package has no copyright file"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
for file in usr/sbin/tavelin-helper usr/sbin/tavelin-helper-front usr/bin/tavelinctl \
    usr/bin/tavelin-codesign lib/systemd/system/tavelin-helper.socket \
    lib/systemd/system/tavelin-helper.service lib/systemd/system/tavelin-update.socket \
    lib/systemd/system/tavelin-update@.service usr/libexec/tavelin/tavelin-update-runner \
    usr/libexec/tavelin/tavelin-system-update \
    usr/lib/sysusers.d/tavelin-helper.conf usr/share/tavelin/anchor.pem \
    usr/include/TavelinClient/HelperClient.h "usr/lib/$multiarch/libtavelin-client.so.0" \
    "usr/lib/$multiarch/libtavelin-client.so" "usr/lib/$multiarch/pkgconfig/tavelin-client.pc" \
    "usr/lib/$multiarch/cmake/TavelinClient/TavelinClientConfig.cmake" \
    "usr/lib/$multiarch/cmake/TavelinClient/TavelinClientSigning.cmake" \
    usr/share/bash-completion/completions/tavelinctl usr/share/man/man1/tavelinctl.1.gz \
    usr/share/man/man1/tavelin-codesign.1.gz usr/share/man/man8/tavelin-helper.8.gz \
    usr/share/man/man8/tavelin-helper-front.8.gz \
    usr/share/polkit-1/actions/de.morvane.tavelin.policy; do
    [ -e "$root/$file" ] || fail "the packages do not hold /$file"
done
library="usr/lib/$multiarch/$(readlink "$root/usr/lib/$multiarch/libtavelin-client.so.0")"
for executable in usr/sbin/tavelin-helper usr/sbin/tavelin-helper-front usr/bin/tavelinctl \
    usr/bin/tavelin-codesign usr/libexec/tavelin/tavelin-update-runner "$library"; do
    sections=$(readelf -S "$root/$executable")
    if grep -q '\.symtab' <<<"$sections" || ! grep -q '\.gnu_debuglink' <<<"$sections"; then
        fail "/$executable is not stripped with a link to its debug file"
    fi
    # Its symbols in the -dbgsym package, where gdb looks them up by build id.
    id=$(readelf -n "$root/$executable" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
    [ -f "$root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] ||
        fail "/$executable has no debug file in a -dbgsym package"
done
"$source_dir/tools/check-hardening.sh" --nothing-to-fortify tavelin-codesign \
    "$root/usr/sbin/tavelin-helper" "$root/usr/sbin/tavelin-helper-front" \
    "$root/usr/bin/tavelinctl" "$root/usr/bin/tavelin-codesign" \
    "$root/usr/libexec/tavelin/tavelin-update-runner" "$root/$library" ||
    fail "an executable is not hardened"
# The development package holds the client's interface and nothing of the formats, the
# policy or the platform layer.
headers=$(cd "$root/usr/include" && find . -type f | sort | tr '\n' ' ')
[ "$headers" = "./TavelinClient/ClientError.h ./TavelinClient/HelperClient.h ./TavelinClient/OperationResult.h ./TavelinClient/RemovalSummary.h ./TavelinShared/Expected.h " ] ||
    fail "the development package's headers are $headers"

step "the path layout: the host's own folders, none of the reference layout's"
version=$(sed -n 's/^project(Tavelin VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
for tool in usr/sbin/tavelin-helper usr/bin/tavelinctl; do
    said=$("$root/$tool" --version)
    [ "$said" = "${tool##*/} $version (path layout: linux)" ] || fail "/$tool --version: $said"
done
[ ! -e "$root/usr/lib/tmpfiles.d/tavelin-helper.conf" ] ||
    fail "the daemon package makes folders at boot, though the host has all it acts in"
grep -q '^ReadWritePaths=-/var/cache -/var/log -/var/tmp -/var/crash -/var/lib/systemd/coredump -/opt$' \
    "$root/lib/systemd/system/tavelin-helper.service" ||
    fail "the service unit does not make the linux layout's folders writable"
if (cd "$root" && find . | grep -E '^\./(Library|System|private)(/|$)'); then
    fail "the packages hold folders of the reference layout"
fi

step "lintian"
lintian --fail-on error,warning --tag-display-limit 0 "$build"/*.deb 2>&1 |
    grep -v "running with root privileges" || true
lintian --fail-on error,warning "$build"/*.deb >/dev/null 2>&1 ||
    fail "lintian has errors or warnings to report"

step "signature of the unpacked client"
codesign="$root/usr/bin/tavelin-codesign"
"$codesign" verify --anchor "$identity/anchor.pem" "$root/usr/bin/tavelinctl" ||
    fail "the packaged tavelinctl does not carry a valid signature"

step "polkit defaults: an active local session may, anyone else needs an administrator"
policy="$root/usr/share/polkit-1/actions/de.morvane.tavelin.policy"
for action in remove-system-paths repair-permissions install-system-updates; do
    for setting in allow_any=auth_admin_keep allow_inactive=auth_admin_keep allow_active=yes; do
        said=$(xmllint --nonet --xpath \
            "string(//action[@id='de.morvane.tavelin.$action']/defaults/${setting%=*})" "$policy")
        [ "$said" = "${setting#*=}" ] || fail "$action: ${setting%=*} is \"$said\""
    done
done

step "installed, served and purged in a copy-on-write view of this machine"
# A PID namespace too: whatever the check leaves running ends with it.
unshare --mount --net --pid --fork --propagation private \
    "$source_dir/tests/packaging/check-installed.sh" \
    "$build" "$identity" "$source_dir/examples" "$work/installed" ||
    fail "the installed packages"
echo "packages built, unpacked, verified, installed, built against, served and purged"
