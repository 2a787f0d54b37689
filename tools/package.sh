#!/usr/bin/env bash
# Builds the Debian packages with debhelper (dpkg-buildpackage -b, debian/rules): a release
# build whose daemon trusts the anchor of the given signing identity (installed at its
# fixed path) and whose client is signed with it after stripping. The daemon and the
# client act on the host's own folders (the linux path layout).
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

tools/bootstrap.sh
export TAVELIN_IDENTITY="$identity"
export TAVELIN_ANCHOR_PATH="$anchor_path"
export TAVELIN_BUILD_DIR="$build_dir"
if [ -n "$chain" ]; then
    export TAVELIN_CHAIN="$(realpath "$chain")"
fi
# debian/rules does the build; the packages, the changes and the build information land
# in the build folder, nothing beside the source tree.
dpkg-buildpackage -b -us -uc --changes-option=-u"$build_dir" \
    --buildinfo-option=-u"$build_dir" \
    --changes-file="$build_dir/tavelin.changes" \
    --buildinfo-file="$build_dir/tavelin.buildinfo"
ls -1 "$build_dir"/*.deb
