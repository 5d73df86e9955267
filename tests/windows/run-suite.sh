#!/usr/bin/env bash
# The Windows suite: cross-builds pattern-counters.exe and the unit tests, runs them under Wine
# (tests/windows/CMakeLists.txt), packs the release archive and checks what it ships.
#
# PATTERN_COUNTERS_WINDOWS picks what runs:
#   32    the shipped 32-bit program and its scenarios in a 32-bit prefix, again under WoW64 in a
#         64-bit prefix and with Wine reporting Windows NT 4.0 and Windows 98, and the unit tables
#         from a build of the same sources with the posix thread model; needs a machine that runs
#         32-bit programs
#   64    the same sources built for 64-bit Windows, their unit tables and scenarios under 64-bit
#         Wine, also with Wine reporting Windows 98; the shipped 32-bit program is built, checked
#         and packed, but not run
#   auto  (the default) 32 where this machine runs 32-bit programs, else 64
#
# Without the cross compilers or Wine the suite is skipped with a notice, except in CI (CI=true),
# where that is a failure.
set -euo pipefail
cd "$(dirname "$0")/../.."

wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64

# Fails unless FILE is text as Windows shows it: ASCII, every line ended by CR LF.
check_windows_text() {
  if LC_ALL=C grep -q '[^[:print:][:space:]]' "$1" || grep -qv $'\r$' "$1" ||
    [ "$(tail -c 2 "$1" | od -An -tx1)" != " 0d 0a" ]; then
    echo "FAILED: $(basename "$1") is not ASCII text with every line ended by CR LF" >&2
    exit 1
  fi
  echo "$(basename "$1"): ASCII text, every line ended by CR LF"
}

# Fails in CI, and elsewhere skips the suite, with the reason.
cannot_run() {
  if [ "${CI:-}" = true ]; then
    echo "FAILED: the Windows suite cannot run: $1" >&2
    exit 1
  fi
  echo "SKIPPED: the Windows suite cannot run: $1"
  exit 0
}

requested=${PATTERN_COUNTERS_WINDOWS:-auto}
case $requested in
  auto | 32 | 64) ;;
  *)
    echo "PATTERN_COUNTERS_WINDOWS is '$requested': it must be 32, 64 or auto" >&2
    exit 2
    ;;
esac

# The 64-bit variant asked for by name tries no 32-bit program at all, not even the probe.
if [ "$requested" = 64 ]; then
  variant=64
  machine="PATTERN_COUNTERS_WINDOWS=64"
elif why_not=$(python3 tests/windows/runs_32bit_programs.py); then
  variant=32
  machine="this machine runs 32-bit programs"
elif [ "$requested" = auto ]; then
  variant=64
  machine="this machine cannot run 32-bit programs ($why_not)"
else
  cannot_run "PATTERN_COUNTERS_WINDOWS=32, but this machine cannot run 32-bit programs ($why_not)"
fi

required=(i686-w64-mingw32-g++-win32 i686-w64-mingw32-windres i686-w64-mingw32-objdump
          i686-w64-mingw32-strip wineserver "$wine64_loader")
if [ "$variant" = 32 ]; then
  required+=(wine "$wine32_loader" i686-w64-mingw32-g++-posix)
else
  required+=(x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres)
fi
missing=()
for program in "${required[@]}"; do
  command -v "$program" >/dev/null || missing+=("$program")
done
if [ ${#missing[@]} -gt 0 ]; then
  cannot_run "it needs ${missing[*]} (scripts/install-dependencies.sh windows)
$(PATTERN_COUNTERS_WINDOWS=$variant scripts/install-dependencies.sh windows --why)"
fi

export WINEDEBUG=-all
if [ "$variant" = 32 ]; then
  echo "Windows suite: $machine: running the shipped 32-bit program in a 32-bit prefix, under" \
    "WoW64 and as Windows NT 4.0 and Windows 98, and the unit tables built for 32-bit Windows"
  cmake --workflow --preset windows
  cmake --workflow --preset windows-unit
else
  echo "Windows suite: $machine: running the 64-bit build under 64-bit Wine, also as" \
    "Windows 98; the shipped 32-bit program is built and checked, NOT RUN"
  cmake --workflow --preset windows64
  echo "== The shipped 32-bit program, built and checked without running it"
  cmake --workflow --preset windows-shipped
fi

echo "== The release archive"
archive=$(ls build-windows/release/pattern-counters-*-win32.zip)
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
python3 -m zipfile -e "$archive" "$unpacked"
python3 -m zipfile -l "$archive"
shipped=("$unpacked"/pattern-counters-*-win32)
# The program, its README and the licence, and nothing else.
contents=$(cd "$unpacked" && LC_ALL=C find . -type f | LC_ALL=C sort | tr '\n' ' ')
folder=./${shipped[0]##*/}
expected="$folder/LICENSE.txt $folder/README.txt $folder/pattern-counters.exe "
if [ "$contents" != "$expected" ]; then
  echo "FAILED: the archive holds $contents instead of $expected" >&2
  exit 1
fi
cmp build-windows/README.txt "${shipped[0]}/README.txt" # the README generated for Windows users
cmp <(sed 's/$/\r/' LICENSE) "${shipped[0]}/LICENSE.txt" # the licence, with Windows' line ends
check_windows_text "${shipped[0]}/README.txt"
check_windows_text "${shipped[0]}/LICENSE.txt"
python3 tests/windows/check_executable.py --objdump i686-w64-mingw32-objdump \
  --strip i686-w64-mingw32-strip "${shipped[0]}/pattern-counters.exe"
if [ "$variant" = 64 ]; then
  echo "NOT RUN: the shipped 32-bit program itself ($machine)"
fi
