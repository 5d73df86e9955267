#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
#   install-dependencies.sh build        what building and running the Linux programs needs
#   install-dependencies.sh all          that, and what every test suite and the benchmarks need
#   install-dependencies.sh windows      the Windows cross compilers, and Wine to test their programs
#   install-dependencies.sh SET --why    why apt cannot install what SET still lacks (changes nothing)
#
# 32-bit Wine (wine32 from the i386 architecture) is asked for only where this machine runs 32-bit
# programs and PATTERN_COUNTERS_WINDOWS is not 64: elsewhere it could never run. A package index
# that fails to download (a mirror in mid-sync) is tried again, then left as it is: apt-get install
# answers for the packages actually needed. Exit status 0 when everything is installed, 1 after
# naming each package that could not be, with apt's reason.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
export DEBIAN_FRONTEND=noninteractive

update_tries=3
update_pause_seconds=10

# file: CPack finds the programs among the packed files with it, to compute their dependencies.
build_packages=(build-essential cmake libgtest-dev libsqlite3-dev sqlite3 python3 file)
# The manual pages and the Debian package are checked with man, mandoc, dpkg-deb, apt and lintian.
test_packages=(util-linux libbenchmark-dev clang libclang-rt-14-dev man-db mandoc dpkg-dev apt
               lintian)
# 64-bit Wine runs the 64-bit build of the sources, the shipped program under WoW64 and Wine's own
# reg for the companion's differential test; 32-bit Wine runs the shipped 32-bit program.
windows_packages=(build-essential cmake googletest python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64
                  wine wine64)
wine32_package=wine32:i386

set_name=${1:-all}
apt_options=(--no-install-recommends)
case $set_name in
  build) packages=("${build_packages[@]}") ;;
  all) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  windows)
    packages=("${windows_packages[@]}")
    apt_options=() # with what Debian recommends for Wine
    ;;
  *)
    echo "usage: $0 build|all|windows [--why]" >&2
    exit 2
    ;;
esac
why_only=false
[ "${2:-}" = --why ] && why_only=true

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The packages of `packages` that are not installed, in `missing`.
find_missing() {
  missing=()
  for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
  done
}

# Adds 32-bit Wine to the Windows set where this machine can run it, and says which it is.
choose_windows_variant() {
  local why_not
  if [ "${PATTERN_COUNTERS_WINDOWS:-auto}" = 64 ]; then
    echo "Windows packages for the 64-bit variant (PATTERN_COUNTERS_WINDOWS=64): no 32-bit Wine"
  elif ! command -v python3 >/dev/null; then
    echo "Windows packages: python3 is needed to find out whether 32-bit programs run here" >&2
    return 1
  elif why_not=$(python3 tests/windows/runs_32bit_programs.py); then
    echo "Windows packages for a machine that runs 32-bit programs: with 32-bit Wine ($wine32_package)"
    packages+=("$wine32_package")
  else
    echo "Windows packages for a machine that cannot run 32-bit programs ($why_not): no 32-bit Wine"
  fi
}

# Prints, for each package given that apt cannot install, its name and apt's reason. Changes
# nothing. Exit status 1 when there was any.
explain_uninstallable() {
  local package reason failed=0
  for package in "$@"; do
    if ! reason=$(apt-get install --simulate -q "${apt_options[@]}" "$package" 2>&1); then
      failed=1
      echo "Cannot install $package. apt says:"
      grep -E '^( |E:|W:)' <<<"$reason" | sed 's/^/    /'
    fi
  done
  return $failed
}

# Runs apt-get update, trying again after a pause when an index fails to download; an index that
# still fails is left as it is.
update_indexes() {
  local try
  for ((try = 1; try <= update_tries; ++try)); do
    "${sudo[@]}" apt-get update -q && return 0
    if ((try < update_tries)); then
      echo "apt-get update failed (try $try of $update_tries); trying again in $update_pause_seconds s"
      sleep "$update_pause_seconds"
    fi
  done
  echo "apt-get update failed $update_tries times: going on with the package indexes as they are"
  return 1
}

# Installs `missing`. When apt refuses and an index could not be updated, tries once more preferring
# the release's own suite, whose indexes agree across architectures where a mid-sync mirror left
# one suite's index of one architecture behind. Returns apt's status.
install_missing() {
  local codename
  "${sudo[@]}" apt-get install -y -q "${apt_options[@]}" "${missing[@]}" && return 0
  $indexes_updated && return 1
  # shellcheck source=/dev/null
  codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || return 1
  echo "apt-get install failed beside a failed index update: trying again from $codename itself"
  "${sudo[@]}" apt-get install -y -q -t "$codename" "${apt_options[@]}" "${missing[@]}"
}

if [ "$set_name" = windows ]; then
  choose_windows_variant || exit 1
fi
find_missing
[ ${#missing[@]} -eq 0 ] && exit 0
if $why_only; then
  explain_uninstallable "${missing[@]}"
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Please install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386 || exit 1
fi
indexes_updated=true
update_indexes || indexes_updated=false
install_missing && exit 0

# Whatever apt can still install goes in; each package it cannot is named, with apt's reason.
uninstallable=$(explain_uninstallable "${missing[@]}")
installable=()
for package in "${missing[@]}"; do
  grep -qxF "Cannot install $package. apt says:" <<<"$uninstallable" || installable+=("$package")
done
if [ ${#installable[@]} -gt 0 ]; then
  "${sudo[@]}" apt-get install -y -q "${apt_options[@]}" "${installable[@]}"
fi
echo "${uninstallable:-apt-get install failed: see its messages above}" >&2
exit 1
