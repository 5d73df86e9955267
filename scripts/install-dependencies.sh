#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
#   install-dependencies.sh build   what building and running the Linux programs needs
#   install-dependencies.sh all     that, and what every test suite and the benchmarks need
set -euo pipefail

build_packages=(build-essential cmake libgtest-dev libsqlite3-dev sqlite3 python3)
test_packages=(util-linux libbenchmark-dev clang libclang-rt-14-dev)

packages=("${build_packages[@]}")
if [ "${1:-all}" = all ]; then
  packages+=("${test_packages[@]}")
fi

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
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
