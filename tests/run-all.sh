#!/usr/bin/env bash
# Runs every test suite of the project, stopping at the first that fails.
set -euo pipefail
cd "$(dirname "$0")/.."
# A package that cannot be installed is named with apt's reason; the suites that need it then fail
# (in CI) or are skipped with a notice, and the rest still run.
installed_all=true
scripts/install-dependencies.sh all || installed_all=false
scripts/install-dependencies.sh windows || installed_all=false

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

if ! $installed_all; then
  echo "Some packages could not be installed (see above): the suites that need them did not run."
  [ "${CI:-}" != true ] || exit 1
fi
