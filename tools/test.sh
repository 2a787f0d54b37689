#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
#   tools/test.sh                  normal build in build/
#   tools/test.sh address          AddressSanitizer + UndefinedBehaviorSanitizer in build-address/
#   tools/test.sh thread           ThreadSanitizer in build-thread/
set -euo pipefail
cd "$(dirname "$0")/.."

sanitizer="${1:-}"
build_dir="build${sanitizer:+-$sanitizer}"

tools/bootstrap.sh
# The package test builds the tree a second time; with ccache (and the cache keyed on
# the compiler's input, not the build folder) that second build is mostly cache hits.
launcher=()
if [ -z "$sanitizer" ] && command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    export CCACHE_NOHASHDIR=1
fi
cmake -S . -B "$build_dir" -G Ninja -DTAVELIN_SANITIZE="$sanitizer" "${launcher[@]}"
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
