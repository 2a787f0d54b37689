#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   tools/fuzz.sh [seconds per target]     (default 60)
# Fails on any crash, leak or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
build_dir="build-fuzz"

tools/bootstrap.sh
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DTAVELIN_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" -j "$(nproc)" --target tavelin_fuzz_targets

for target in "$build_dir"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name="$(basename "$target")"
    corpus="$build_dir/corpus/$name"
    mkdir -p "$corpus"
    seeds="fuzz/seeds/${name#fuzz_}"
    echo "fuzz: $name for ${seconds}s"
    "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
        -print_final_stats=1 -artifact_prefix="$build_dir/" "$corpus" \
        $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 | tail -n 15
    status=${PIPESTATUS[0]}
    if [ "$status" -ne 0 ]; then
        echo "fuzz: $name failed with status $status" >&2
        exit 1
    fi
done
