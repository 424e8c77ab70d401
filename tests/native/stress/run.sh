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

log="$build/pool_stress.log"
status=0
RAYON_NUM_THREADS=4 \
TSAN_OPTIONS="halt_on_error=1 exitcode=66 allocator_may_return_null=1 ${TSAN_OPTIONS:-}" \
  timeout 50 "$build/pool_stress" 2>"$log" || status=$?

if [ "$status" -ne 0 ] || grep -q "ThreadSanitizer" "$log"; then
  cat "$log" >&2
  echo "pool stress failed (exit status $status)" >&2
  exit 1
fi
echo "pool stress passed"

# The compressed-parse program's damaged files write panic reports to its
# stderr; only a sanitizer report or a wrong result fails it.
log="$build/gzip_stress.log"
status=0
RAYON_NUM_THREADS=4 \
TSAN_OPTIONS="halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}" \
  timeout 120 "$build/gzip_stress" 2>"$log" || status=$?
if [ "$status" -ne 0 ] || grep -q "ThreadSanitizer" "$log"; then
  grep -v "panicked at\|gzip stream\|invalid gzip data" "$log" >&2 || true
  echo "compressed-parse stress failed (exit status $status)" >&2
  exit 1
fi
echo "compressed-parse stress passed"
