#!/bin/sh
# Builds the chunk parser's fuzz target with clang and runs it for SECONDS
# (default 60). Exits non-zero on any finding, after replaying it so that its
# report shows in the log.
#
#   tests/native/fuzz/run.sh 60
#
# CXX_FUZZ picks the compiler (default clang++-14), FUZZ_BUILD_DIR the build
# directory (default build/fuzz in the repository). New corpus entries go to the
# build directory; the seeds in corpus/ are only read.
set -eu

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
target=$build/fuzz_parse_chunk

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++-14}" >/dev/null
cmake --build "$build"

mkdir -p "$build/corpus/parse_chunk" "$build/artifacts"
rm -f "$build"/artifacts/*

# The parser's panic reports go to standard error, one per bad header; closing
# the target's stderr keeps them out of the log. libFuzzer and the sanitizers
# keep a copy of the descriptor for their own reports.
status=0
"$target" -max_total_time="$seconds" -close_fd_mask=2 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/" \
    "$build/corpus/parse_chunk" "$here/corpus/parse_chunk" || status=$?

found=$(ls "$build/artifacts" 2>/dev/null || true)
if [ "$status" -ne 0 ] || [ -n "$found" ]; then
    echo "fuzz_parse_chunk: finding (exit status $status)" >&2
    for artifact in "$build"/artifacts/*; do
        [ -e "$artifact" ] || continue
        echo "--- replaying $artifact" >&2
        "$target" "$artifact" >&2 || true
    done
    exit 1
fi
