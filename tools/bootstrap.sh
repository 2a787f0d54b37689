#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Skips what is present; runs apt-get as root (or through sudo when not root).
set -euo pipefail

packages=(
    build-essential binutils cmake ninja-build pkg-config
    libssl-dev openssl
    nlohmann-json3-dev
    libicu-dev
    libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    clang-tidy clang-format
    libseccomp-dev
    libsystemd-dev
    systemd
    dbus-daemon dbus-bin dbus-system-bus-common polkitd libxml2-utils
    dpkg-dev debhelper lintian systemd ccache
    scdoc man-db groff-base
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
