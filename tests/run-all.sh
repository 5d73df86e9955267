#!/usr/bin/env bash
# Runs every test suite of the project, stopping at the first that fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-dependencies.sh all
scripts/install-dependencies.sh windows

echo "== Linux build and tests"
cmake --workflow --preset default

echo "== Windows build, and its tests under Wine"
bash tests/windows/run-suite.sh

echo "== Benchmarks, briefly, so that they keep working (their figures mean nothing here)"
smoke_results=$(mktemp)
bash bench/run.sh --smoke "$smoke_results"
rm -f "$smoke_results"

echo "== Every test again, built with AddressSanitizer and UBSan"
cmake --workflow --preset sanitize

echo "== Fuzzing, a minute per target (PATTERN_COUNTERS_FUZZ_SECONDS to change)"
cmake --workflow --preset fuzz
