#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
#   install-dependencies.sh build   what building and running the Linux programs needs
#   install-dependencies.sh all     that, and what every test suite and the benchmarks need
#   install-dependencies.sh windows the Windows cross compilers, and Wine to test their programs
set -euo pipefail

# file: CPack finds the programs among the packed files with it, to compute their dependencies.
build_packages=(build-essential cmake libgtest-dev libsqlite3-dev sqlite3 python3 file)
# The manual pages and the Debian package are checked with man, dpkg-deb, apt and lintian.
test_packages=(util-linux libbenchmark-dev clang libclang-rt-14-dev man-db dpkg-dev apt lintian)
# Both Wines, with what Debian recommends for them: 32-bit Wine (from the i386 architecture) runs
# the shipped 32-bit program, 64-bit Wine runs it under WoW64 and, on machines that cannot run
# 32-bit programs, the 64-bit build of the same sources.
windows_packages=(build-essential cmake googletest python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64
                  wine wine32:i386 wine64)

apt_options=(--no-install-recommends)
case ${1:-all} in
  build) packages=("${build_packages[@]}") ;;
  all) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  windows)
    packages=("${windows_packages[@]}")
    apt_options=()
    ;;
  *)
    echo "usage: $0 [build|all|windows]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Please install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q "${apt_options[@]}" "${missing[@]}"
