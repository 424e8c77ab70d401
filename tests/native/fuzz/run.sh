#!/bin/sh
# Builds the fuzz targets with clang and runs them for SECONDS in all
# (default 60), a quarter each: the chunk parser (fuzz_parse_chunk), the whole
# FASTA driver on a pool of three workers (fuzz_parse_file), compressed input
# on the same pool (fuzz_gzip) and every FASTA kernel the CPU runs against the
# portable one (fuzz_kernels). Exits non-zero on any finding, after replaying
# it so that its report shows in the log.
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

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++-14}" >/dev/null
cmake --build "$build"

share=$((seconds / 4))
[ "$share" -gt 0 ] || share=1
last=$((seconds - 3 * share))
[ "$last" -gt 0 ] || last=1

failed=0
# run NAME SECONDS: fuzzes build/fuzz/fuzz_NAME over corpus/NAME.
run() {
    name=$1
    target=$build/fuzz_$name
    artifacts=$build/artifacts/$name
    mkdir -p "$build/corpus/$name" "$artifacts"
    rm -f "$artifacts"/*

    # The parsers' panic reports go to standard error, one per bad header;
    # closing the target's stderr keeps them out of the log. libFuzzer and
    # the sanitizers keep a copy of the descriptor for their own reports.
    status=0
    "$target" -max_total_time="$2" -close_fd_mask=2 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" \
        "$build/corpus/$name" "$here/corpus/$name" || status=$?

    found=$(ls "$artifacts" 2>/dev/null || true)
    if [ "$status" -ne 0 ] || [ -n "$found" ]; then
        echo "fuzz_$name: finding (exit status $status)" >&2
        for artifact in "$artifacts"/*; do
            [ -e "$artifact" ] || continue
            echo "--- replaying $artifact" >&2
            "$target" "$artifact" >&2 || true
        done
        failed=1
    fi
}

run parse_chunk "$share"
run parse_file "$share"
run gzip "$share"
run kernels "$last"
exit "$failed"
