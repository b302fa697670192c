#!/bin/sh
# Builds the libFuzzer targets (clang++, address and undefined-behaviour checks) and
# runs each for a bounded time from the seed corpus in tests/fuzz/corpus.
# Usage: tests/fuzz/run.sh [seconds per target, default 30] [build directory]
# Exits non-zero when a target finds a fault; its input is kept and named.
set -eu

seconds=${1:-30}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build_dir=${2:-$source_dir/build/fuzz}

cmake --preset fuzz -S "$source_dir" -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j2 >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/vantro-fuzz-run.XXXXXX")
status=0
for target in bounded_format translation; do
  mkdir -p "$work/$target/corpus" "$work/$target/tmp"
  echo "fuzzing $target for ${seconds}s"
  # New inputs go to the scratch corpus; the repository's seeds are only read.
  if ! (cd "$work/$target/tmp" && TMPDIR="$work/$target/tmp" \
        "$build_dir/tests/fuzz/${target}_fuzzer" -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$work/$target/" \
        "$work/$target/corpus" "$here/corpus/$target") >"$work/$target/log" 2>&1; then
    status=1
    tail -n 40 "$work/$target/log"
    echo "FAILED: $target; the input that failed is kept in $work/$target/" >&2
    continue
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$target/log" || true
done
if [ "$status" -eq 0 ]; then
  rm -rf "$work"
fi
exit "$status"
