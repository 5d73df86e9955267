#!/usr/bin/env bash
# Runs every test suite of the project, stopping at the first that fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-dependencies.sh all

echo "== Linux build and tests"
cmake --workflow --preset default
