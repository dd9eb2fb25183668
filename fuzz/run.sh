#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for a bounded time, all
# at once. Fails on any crash, sanitizer report, leak, assertion reached from
# an input, or single input taking over a second.
#
#   fuzz/run.sh [seconds-per-target]          (default 60, or $FUZZ_SECONDS)
#
# Seeds come from fuzz/corpus/<target>/, checked in and written by
# make_fuzz_seeds (build/default/bin/make_fuzz_seeds fuzz/corpus); new
# inputs, logs and crash files go to build/fuzz/run/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-${FUZZ_SECONDS:-60}}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

bin=$root/build/fuzz/bin
run=$root/build/fuzz/run
rm -rf "$run"
mkdir -p "$run"

targets=(fuzz_coff fuzz_library fuzz_lkr fuzz_link fuzz_ponzer fuzz_dralm fuzz_cod)
pids=()
for t in "${targets[@]}"; do
  dir=$run/$t
  mkdir -p "$dir/corpus" "$dir/crashes" "$dir/tmp"
  # The targets make their scratch directory under TMPDIR; paths are
  # absolute since a target changes directory while an input runs.
  (cd "$dir" && TMPDIR=$dir/tmp exec "$bin/$t" -max_total_time="$seconds" -timeout=1 \
     -rss_limit_mb=2048 -detect_leaks=1 -print_final_stats=1 \
     -artifact_prefix="$dir/crashes/" "$dir/corpus" "$root/fuzz/corpus/$t") \
    >"$dir/log" 2>&1 &
  pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  if wait "${pids[$i]}"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/$t/log")
    echo "$t: clean, ${runs:-?} inputs in ${seconds} s"
  else
    status=1
    echo "$t: FAILED (log: $run/$t/log)"
    tail -n 60 "$run/$t/log"
    ls -l "$run/$t/crashes"
  fi
done
exit $status
