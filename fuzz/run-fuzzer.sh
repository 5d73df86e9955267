#!/usr/bin/env bash
# Runs one fuzz target for a bounded time: usage run-fuzzer.sh BINARY WORK_DIR SEED_DIR...
#
# New inputs are kept in WORK_DIR/corpus (the seeds stay untouched) and a crashing input is
# saved in WORK_DIR/findings. The run lasts PATTERN_COUNTERS_FUZZ_SECONDS seconds: 60 by
# default, 1800 when PATTERN_COUNTERS_SOAK=1. Any finding fails the run.
set -euo pipefail
binary=$1 work=$2
shift 2 # the seed folders

seconds=${PATTERN_COUNTERS_FUZZ_SECONDS:-}
if [[ -z $seconds ]]; then
  if [[ ${PATTERN_COUNTERS_SOAK:-0} == 1 ]]; then seconds=1800; else seconds=60; fi
fi
mkdir -p "$work/corpus" "$work/findings"
# Inputs up to 20000 bytes, so that very long paths and digit runs are tried too.
"$binary" -max_total_time="$seconds" -max_len=20000 -print_final_stats=1 \
  -artifact_prefix="$work/findings/" "$work/corpus" "$@"
