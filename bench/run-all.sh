#!/usr/bin/env bash
# Every benchmark, one after another; see docs/benchmarks.md for what each measures.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build}
for b in "$BUILD"/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null || "$b"
done
echo "== biglist"
"$BUILD"/bench/biglist
echo "== copy-bench"
bench/copy-bench.sh "$@"
