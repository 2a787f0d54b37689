#!/usr/bin/env bash
# Builds the Debian packages from a release configuration of this tree and uses them as
# an administrator and an application developer would, without installing anything:
#   1. a test identity (anchor, leaf) and a release build that trusts that anchor and
#      signs its client with that leaf; `cpack -G DEB`
#   2. every package unpacked into a scratch root, checked for what it must hold
#   3. the unpacked tavelinctl's signature verified against the anchor by the unpacked
#      tavelin-codesign (stripping after signing would fail here)
#   4. a ten-line application compiled against the unpacked development package, once
#      through find_package(TavelinClient) and once through pkg-config, and signed
#   5. the unpacked daemon socket-activated on a private name: both applications ask it
#      for its version; an unsigned build of the application is refused
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
apps="$work/apps"

step "test identity and release build"
"$build_codesign" create-identity --out "$identity" --ou QH4T7R2KZ5 >/dev/null
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    export CCACHE_NOHASHDIR=1  # hits from the main build in another folder
fi
# The test machine has no account for the front; the package's own is made by sysusers.
cmake -S "$source_dir" -B "$build" -G Ninja -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    -DTAVELIN_TRUST_ANCHOR="$identity/anchor.pem" \
    -DTAVELIN_SIGNING_KEY="$identity/leaf-key.pem" \
    -DTAVELIN_SIGNING_CERTIFICATE="$identity/leaf.pem" \
    -DTAVELIN_FRONT_USER=nobody "${launcher[@]}" >"$work/configure.log" ||
    { cat "$work/configure.log"; fail "configure"; }
grep -q "Release build: only root is trusted" "$work/configure.log" ||
    fail "a build given a trust anchor is still a development build"
cmake --build "$build" -j "$(nproc)" >"$work/build.log" 2>&1 ||
    { tail -50 "$work/build.log"; fail "build"; }
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }

step "unpack"
mkdir -p "$root"
for package in tavelin-helper tavelin-tools libtavelin-client-dev tavelin-dbg; do
    deb=$(ls "$build"/${package}_*.deb 2>/dev/null | head -1)
    [ -n "$deb" ] || fail "no package $package"
    dpkg-deb -x "$deb" "$root"
    [ -f "$root/usr/share/doc/$package/copyright" ] || fail "$package has no copyright file"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
for file in usr/sbin/tavelin-helper usr/sbin/tavelin-helper-front usr/bin/tavelinctl \
    usr/bin/tavelin-codesign usr/lib/systemd/system/tavelin-helper.socket \
    usr/lib/systemd/system/tavelin-helper.service usr/lib/systemd/system/tavelin-update.socket \
    usr/lib/systemd/system/tavelin-update@.service usr/libexec/tavelin/tavelin-update-runner \
    usr/lib/sysusers.d/tavelin-helper.conf usr/lib/tmpfiles.d/tavelin-helper.conf \
    usr/include/TavelinClient/HelperClient.h "usr/lib/$multiarch/libtavelin-client.a" \
    "usr/lib/$multiarch/pkgconfig/tavelin-client.pc" \
    "usr/lib/$multiarch/cmake/TavelinClient/TavelinClientConfig.cmake" \
    usr/lib/debug/usr/bin/tavelinctl.debug usr/lib/debug/usr/sbin/tavelin-helper.debug \
    usr/share/bash-completion/completions/tavelinctl usr/share/man/man1/tavelinctl.1.gz \
    usr/share/man/man1/tavelin-codesign.1.gz usr/share/man/man8/tavelin-helper.8.gz \
    usr/share/polkit-1/actions/de.morvane.tavelin.policy; do
    [ -e "$root/$file" ] || fail "the packages do not hold /$file"
done
for executable in usr/sbin/tavelin-helper usr/sbin/tavelin-helper-front usr/bin/tavelinctl \
    usr/bin/tavelin-codesign usr/libexec/tavelin/tavelin-update-runner; do
    sections=$(readelf -S "$root/$executable")
    if grep -q '\.symtab' <<<"$sections" || ! grep -q '\.gnu_debuglink' <<<"$sections"; then
        fail "/$executable is not stripped with a link to its debug file"
    fi
done
if grep -rE '"(UniqueFd|SystemError|LogSink)\.h"' "$root/usr/include"; then
    fail "the client headers include the platform layer"
fi

step "signature of the unpacked client"
codesign="$root/usr/bin/tavelin-codesign"
"$codesign" verify --anchor "$identity/anchor.pem" "$root/usr/bin/tavelinctl" ||
    fail "the packaged tavelinctl does not carry a valid signature"

step "the application, through find_package and through pkg-config"
mkdir -p "$apps"
cp "$source_dir/tests/packaging/app/main.cc" "$source_dir/tests/packaging/app/CMakeLists.txt" "$apps/"
cmake -S "$apps" -B "$apps/build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
    >"$work/app-configure.log" || { cat "$work/app-configure.log"; fail "find_package"; }
cmake --build "$apps/build" >"$work/app-build.log" 2>&1 ||
    { cat "$work/app-build.log"; fail "building through find_package"; }
cp "$apps/build/version-app" "$apps/version-app-cmake"
export PKG_CONFIG_SYSROOT_DIR="$root"
export PKG_CONFIG_PATH="$root/usr/lib/$multiarch/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++20 -o "$apps/version-app-pkgconfig" "$apps/main.cc" \
    $(pkg-config --cflags --libs tavelin-client) || fail "building through pkg-config"
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_PATH
cp "$apps/version-app-pkgconfig" "$apps/version-app-unsigned"
for app in version-app-cmake version-app-pkgconfig; do
    "$codesign" sign --key "$identity/leaf-key.pem" --cert "$identity/leaf.pem" \
        --identifier de.morvane.Tavelin "$apps/$app" >/dev/null || fail "signing $app"
done

step "the unpacked daemon, socket-activated"
service="de.morvane.Tavelin.package-test.$$"
systemd-socket-activate --listen="@$service" "$root/usr/sbin/tavelin-helper" \
    >"$work/daemon.log" 2>&1 &
daemon=$!
trap 'kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    grep -q "gestartet" "$work/daemon.log" 2>/dev/null && break
    sleep 0.1
done
version=$(sed -n 's/^project(Tavelin VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
for app in version-app-cmake version-app-pkgconfig; do
    answer=$("$apps/$app" "$service") || { cat "$work/daemon.log"; fail "$app was not served"; }
    [ "$answer" = "$version" ] || fail "$app got \"$answer\", not $version"
done
status=0
"$apps/version-app-unsigned" "$service" 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "an unsigned application was not refused (status $status)"
grep -q "Verbindung ABGELEHNT" "$work/daemon.log" || fail "no refusal line for the unsigned app"
echo "packages built, unpacked, verified, linked twice and served"
