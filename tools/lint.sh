#!/usr/bin/env bash
# Fails on a formatting difference from .clang-format or on any clang-tidy finding in the
# production sources (tests, benchmarks and fuzzers are formatted but not tidied).
#   tools/lint.sh [build directory with compile_commands.json]   (default build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"

echo "lint: clang-format"
git ls-files '*.cc' '*.h' | xargs clang-format --dry-run -Werror

if [ ! -f "$build_dir/compile_commands.json" ]; then
    echo "lint: $build_dir/compile_commands.json is missing; build first (tools/test.sh)" >&2
    exit 1
fi
mapfile -t sources < <(git ls-files '*.cc' | grep -v -E '(^|/)(tests|bench|fuzz)/')
echo "lint: clang-tidy on ${#sources[@]} sources"
run-clang-tidy -quiet -p "$build_dir" -j "$(nproc)" "${sources[@]/#/$PWD/}" >/tmp/tavelin-clang-tidy.log 2>&1 || {
    grep -E "warning:|error:" /tmp/tavelin-clang-tidy.log | sort -u >&2 || true
    echo "lint: clang-tidy found problems (full output in /tmp/tavelin-clang-tidy.log)" >&2
    exit 1
}
echo "lint: clean"
