#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
#   tools/test.sh                  normal build in build/
#   tools/test.sh address          AddressSanitizer + UndefinedBehaviorSanitizer in build-address/
#   tools/test.sh thread           ThreadSanitizer in build-thread/
#   tools/test.sh linux            normal build with the linux path layout (the packages')
#                                  in build-linux/
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-}"
build_dir="build${variant:+-$variant}"
sanitizer=""
layout="reference"
case "$variant" in
    "") ;;
    address | thread) sanitizer="$variant" ;;
    linux) layout="linux" ;;
    *) echo "usage: tools/test.sh [address|thread|linux]" >&2; exit 64 ;;
esac

tools/bootstrap.sh
# The package test and the linux build compile the tree once more; with ccache (and the
# cache keyed on the compiler's input, not the build folder) those builds are mostly
# cache hits.
launcher=()
if [ -z "$sanitizer" ] && command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    export CCACHE_NOHASHDIR=1
fi
cmake -S . -B "$build_dir" -G Ninja -DTAVELIN_SANITIZE="$sanitizer" \
    -DTAVELIN_PATH_LAYOUT="$layout" "${launcher[@]}"
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
