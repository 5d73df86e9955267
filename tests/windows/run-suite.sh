#!/usr/bin/env bash
# The Windows suite: cross-builds pattern-counters.exe and the unit tests, runs them under Wine
# (tests/windows/CMakeLists.txt), packs the release archive and checks what it ships.
#
# Without the cross compiler or Wine the suite is skipped with a notice, except in CI (CI=true),
# where that is a failure.
set -euo pipefail
cd "$(dirname "$0")/../.."

required=(i686-w64-mingw32-g++-posix i686-w64-mingw32-windres i686-w64-mingw32-objdump wine
          wineboot wineserver)
missing=()
for program in "${required[@]}"; do
  command -v "$program" >/dev/null || missing+=("$program")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "${CI:-}" = true ]; then
    echo "FAILED: the Windows suite cannot run without: ${missing[*]}" >&2
    exit 1
  fi
  echo "SKIPPED: the Windows suite needs ${missing[*]} (scripts/install-dependencies.sh windows)"
  exit 0
fi

export WINEDEBUG=-all
cmake --workflow --preset windows

echo "== The release archive"
archive=$(ls build-windows/release/pattern-counters-*-win32.zip)
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
python3 -m zipfile -e "$archive" "$unpacked"
python3 -m zipfile -l "$archive"
shipped=("$unpacked"/pattern-counters-*-win32)
cmp README.md "${shipped[0]}/README.md"
python3 tests/windows/check_executable.py --objdump i686-w64-mingw32-objdump \
  "${shipped[0]}/pattern-counters.exe"
