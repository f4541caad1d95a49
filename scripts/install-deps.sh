#!/usr/bin/env bash
# Installs the Debian packages a task needs, when they are missing and we may.
#   install-deps.sh build   compiler and CMake
#   install-deps.sh test    everything the whole test suite uses
#   install-deps.sh release what the release archives need
set -euo pipefail

packages=(cmake g++ make)
if [ "${1:-build}" = test ]; then
  packages+=(libgtest-dev python3 g++-mingw-w64-i686-posix wine wine32:i386 binutils-mingw-w64-i686
             g++-mingw-w64-x86-64-posix wine64
             clang libclang-rt-14-dev clang-tidy cppcheck valgrind zip strace acl attr groff-base)
fi
if [ "${1:-build}" = release ]; then
  packages+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 zip)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --add-architecture i386
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
