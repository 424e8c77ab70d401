#!/usr/bin/env bash
# Builds the pool stress program and the compressed-parse stress program with
# ThreadSanitizer and runs each with four workers. Fails on a wrong result, on any sanitizer report, or if the run
# takes longer than its bound.
#
#   tests/native/stress/run.sh [build-dir]
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../../../build/pool-stress-tsan}"

generator=()
if command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
cmake -S "$here" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! cmake --build "$build" >"$build/build.log" 2>&1; then
  cat "$build/build.log" >&2
  echo "pool stress program did not build" >&2
  exit 1
fi

# run PROGRAM SECONDS: runs it with four workers under its time bound. The
# compressed-parse program's damaged files write panic reports to its stderr;
# only a sanitizer report or a wrong result fails a run.
run() {
  local log="$build/$1.log" status=0
  RAYON_NUM_THREADS=4 \
  TSAN_OPTIONS="halt_on_error=1 exitcode=66 allocator_may_return_null=1 ${TSAN_OPTIONS:-}" \
    timeout "$2" "$build/$1" 2>"$log" || status=$?
  if [ "$status" -ne 0 ] || grep -q "ThreadSanitizer" "$log"; then
    cat "$log" >&2
    echo "$1 failed (exit status $status)" >&2
    exit 1
  fi
  echo "$1 passed"
}

run pool_stress 50
run gzip_stress 120
