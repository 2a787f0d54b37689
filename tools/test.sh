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
cmake -S . -B "$build_dir" -G Ninja -DTAVELIN_SANITIZE="$sanitizer"
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
