#!/usr/bin/env bash
# Builds the Debian packages: a release build whose daemon trusts the anchor of the given
# signing identity (installed at its fixed path) and whose client is signed with it. The
# daemon and the client act on the host's own folders (the linux path layout).
#   tools/package.sh --identity DIR [--chain CHAIN.pem] [--anchor-path PATH] [--build-dir DIR]
# DIR holds anchor.pem, leaf.pem and leaf-key.pem, as `tavelin-codesign create-identity`
# writes them (docs/code-signing.md: a production identity). The packages land in the
# build directory (build-release/ by default); docs/packaging.md says what to do with them.
set -euo pipefail
cd "$(dirname "$0")/.."

identity=""
chain=""
anchor_path="/usr/share/tavelin/anchor.pem"
build_dir="build-release"
usage() {
    echo "usage: tools/package.sh --identity DIR [--chain CHAIN.pem] [--anchor-path PATH] [--build-dir DIR]" >&2
    exit 64
}
while [ $# -gt 0 ]; do
    case "$1" in
        --identity) identity="${2:?}"; shift 2 ;;
        --chain) chain="${2:?}"; shift 2 ;;
        --anchor-path) anchor_path="${2:?}"; shift 2 ;;
        --build-dir) build_dir="${2:?}"; shift 2 ;;
        *) usage ;;
    esac
done
[ -n "$identity" ] || usage
identity="$(cd "$identity" && pwd)"
for file in anchor.pem leaf.pem leaf-key.pem; do
    [ -f "$identity/$file" ] || { echo "package: $identity/$file is missing" >&2; exit 1; }
done
chain_option=()
if [ -n "$chain" ]; then
    chain_option=(-DTAVELIN_SIGNING_CHAIN="$(realpath "$chain")")
fi

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    export CCACHE_NOHASHDIR=1  # hits from builds in other folders
fi

tools/bootstrap.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF -DTAVELIN_PATH_LAYOUT=linux \
    -DTAVELIN_TRUST_ANCHOR="$anchor_path" \
    -DTAVELIN_TRUST_ANCHOR_CERTIFICATE="$identity/anchor.pem" \
    -DTAVELIN_SIGNING_KEY="$identity/leaf-key.pem" \
    -DTAVELIN_SIGNING_CERTIFICATE="$identity/leaf.pem" "${chain_option[@]}" "${launcher[@]}"
cmake --build "$build_dir" -j "$(nproc)"
(cd "$build_dir" && cpack -G DEB)
ls -1 "$build_dir"/*.deb
