#!/usr/bin/env bash
# Builds both builds for Linux and for Windows and packs them into
# dist/quorbel-VERSION-windows.zip and dist/quorbel-VERSION-linux.tar.gz with
# their dist/SHA256SUMS (or into the folder given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh release
# A tree of its own for the Linux executables: linked statically, and with no
# test framework.
cmake -S . -B build-release -DQUORBEL_TESTS=OFF -DQUORBEL_STATIC=ON
cmake --build build-release -j2
cmake --preset windows
cmake --build --preset windows
bash scripts/package.sh "${1:-dist}" build-release build-win
